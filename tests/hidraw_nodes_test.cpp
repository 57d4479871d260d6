// The hidraw node list: numeric order, strict node names, and finding the
// node of a device by a line of its uevent file, on a fake sysfs tree.
#include "hidraw_nodes.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

using hidplatform::findHidrawNodeWithUevent;
using hidplatform::listHidrawNodes;
using hidplatform::parseHidrawNodeNumber;

namespace {

void makeDir(const std::string& path)
{
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
}

// classDir/NODE/device/uevent with the given text.
void addNode(const testsupport::TempDir& sysfs, const std::string& node, const std::string& uevent)
{
    makeDir(sysfs.path(node));
    makeDir(sysfs.path(node + "/device"));
    testsupport::writeFile(sysfs.path(node + "/device/uevent"),
                           testsupport::Bytes(uevent.begin(), uevent.end()));
}

TEST(HidrawNodes, ParsesOnlyPlainNodeNames)
{
    struct Case {
        const char* name;
        bool valid;
        unsigned number;
    };
    const Case cases[] = {
        {"hidraw0", true, 0},          {"hidraw7", true, 7},
        {"hidraw10", true, 10},        {"hidraw999999999", true, 999999999},
        {"hidraw", false, 0},          {"hidraw01", false, 0},
        {"hidraw-1", false, 0},        {"hidraw1x", false, 0},
        {"hidraw1000000000", false, 0}, {"Hidraw1", false, 0},
        {"xhidraw1", false, 0},        {".", false, 0},
    };
    for (const Case& c : cases) {
        unsigned number = 12345;
        EXPECT_EQ(parseHidrawNodeNumber(c.name, &number), c.valid) << c.name;
        EXPECT_EQ(number, c.valid ? c.number : 12345u) << c.name;
    }
}

TEST(HidrawNodes, ListsNodesByNumberNotByName)
{
    testsupport::TempDir sysfs;
    for (const char* node : {"hidraw10", "hidraw2", "hidraw0", "hidraw1", "hidraw11"})
        addNode(sysfs, node, "");
    for (const char* other : {"hidrawx", "hidraw01", "other"})
        makeDir(sysfs.path(other));

    const std::vector<std::string> expected = {"hidraw0", "hidraw1", "hidraw2", "hidraw10", "hidraw11"};
    EXPECT_EQ(listHidrawNodes(sysfs.dir()), expected);
}

TEST(HidrawNodes, MissingClassDirectoryMeansNoNodes)
{
    testsupport::TempDir sysfs;
    EXPECT_TRUE(listHidrawNodes(sysfs.path("absent")).empty());
}

TEST(HidrawNodes, FindsFirstNodeWhoseUeventHasTheExactLine)
{
    testsupport::TempDir sysfs;
    addNode(sysfs, "hidraw1", "HID_ID=0003:00001234:00005678\nHID_UNIQ=sim-42\n");
    addNode(sysfs, "hidraw3", "HID_ID=0003:00001234:00005678\nHID_UNIQ=sim-4\n");
    addNode(sysfs, "hidraw10", "HID_UNIQ=sim-7\nHID_ID=0003:00001234:00005679\n");
    addNode(sysfs, "hidraw9", "HID_UNIQ=sim-7\nHID_ID=0003:00001234:00005679\n");
    makeDir(sysfs.path("hidraw5"));  // no device link: skipped

    struct Case {
        const char* line;
        const char* node;
    };
    const Case cases[] = {
        {"HID_UNIQ=sim-4", "hidraw3"},   // not the line that merely starts so
        {"HID_UNIQ=sim-42", "hidraw1"},
        {"HID_UNIQ=sim-7", "hidraw9"},   // two match: the lower number
        {"HID_ID=0003:00001234:00005678", "hidraw1"},
        {"HID_UNIQ=sim", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(findHidrawNodeWithUevent(c.line, sysfs.dir()), c.node) << c.line;
}

} // namespace
