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
using hidplatform::parseHidIdLine;
using hidplatform::parseHidrawNodeNumber;
using hidplatform::readHidrawNodeIds;

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

TEST(HidrawNodes, ParsesTheIdsOfAHidIdLine)
{
    struct Case {
        const char* line;
        bool valid;
        uint16_t vendor, product;
    };
    const Case cases[] = {
        {"HID_ID=0003:00001234:00005678", true, 0x1234, 0x5678},
        {"HID_ID=0005:0000ABCD:0000ef01", true, 0xabcd, 0xef01},
        {"HID_ID=0003:0001FFFF:00000001", true, 0xffff, 0x0001},  // low 16 bits, as the ioctl
        {"HID_ID=0003:00001234", false, 0, 0},
        {"HID_ID=0003:00001234:", false, 0, 0},
        {"HID_ID=0003:000012345:00000001", false, 0, 0},          // nine digits
        {"HID_ID=0003:0000g234:00005678", false, 0, 0},
        {"HID_ID=0003:00001234:00005678:1", false, 0, 0},
        {"HID_NAME=0003:00001234:00005678", false, 0, 0},
    };
    for (const Case& c : cases) {
        uint16_t vendor = 7;
        uint16_t product = 7;
        EXPECT_EQ(parseHidIdLine(c.line, &vendor, &product), c.valid) << c.line;
        EXPECT_EQ(vendor, c.valid ? c.vendor : 7) << c.line;
        EXPECT_EQ(product, c.valid ? c.product : 7) << c.line;
    }
}

// The ids come from the device's uevent, without the node: a node the user
// may not open is still found by its ids.
TEST(HidrawNodes, ReadsTheIdsOfANodeFromSysfs)
{
    testsupport::TempDir sysfs;
    addNode(sysfs, "hidraw0", "DRIVER=hid-generic\nHID_ID=0003:00001234:00005678\nHID_NAME=x\n");
    addNode(sysfs, "hidraw1", "DRIVER=hid-generic\n");
    uint16_t vendor = 0;
    uint16_t product = 0;
    EXPECT_TRUE(readHidrawNodeIds("hidraw0", &vendor, &product, sysfs.dir()));
    EXPECT_EQ(vendor, 0x1234);
    EXPECT_EQ(product, 0x5678);
    EXPECT_FALSE(readHidrawNodeIds("hidraw1", &vendor, &product, sysfs.dir()));
    EXPECT_FALSE(readHidrawNodeIds("hidraw2", &vendor, &product, sysfs.dir()));
}

// One exclusive holder at a time, refused at once; shared opens are not
// affected; the lock goes with the descriptor. Ordinary files take flock
// as device nodes do.
TEST(HidrawNodes, ExclusiveOpenRefusesASecondHolderAtOnce)
{
    using hidplatform::Access;
    using hidplatform::OpenFailure;
    testsupport::TempDir dir;
    const std::string path = dir.path("node");
    testsupport::writeFile(path, testsupport::Bytes(4, 0));

    OpenFailure why = OpenFailure::kOther;
    const hidplatform::Handle holder = hidplatform::openHidrawPath(path, Access::kExclusive, &why);
    ASSERT_NE(holder, hidplatform::kInvalidHandle);
    EXPECT_EQ(why, OpenFailure::kNone);

    EXPECT_EQ(hidplatform::openHidrawPath(path, Access::kExclusive, &why), hidplatform::kInvalidHandle);
    EXPECT_EQ(why, OpenFailure::kInUse);
    const hidplatform::Handle shared = hidplatform::openHidrawPath(path, Access::kReadWrite, &why);
    EXPECT_NE(shared, hidplatform::kInvalidHandle) << "a query still opens a held node";
    hidplatform::close(shared);

    hidplatform::close(holder);
    const hidplatform::Handle next = hidplatform::openHidrawPath(path, Access::kExclusive, &why);
    EXPECT_NE(next, hidplatform::kInvalidHandle);
    hidplatform::close(next);

    EXPECT_EQ(hidplatform::openHidrawPath(dir.path("absent"), Access::kExclusive, &why),
              hidplatform::kInvalidHandle);
    EXPECT_EQ(why, OpenFailure::kNoInterface);
}

} // namespace
