// e2e-kernel-hid-check: checks the guest kernel's HID stack with no project code.
//
// It creates a HID device through /dev/uhid, finds the hidraw node the kernel
// makes for it, and moves one output and one input report through that node,
// then destroys the device and checks that the node refuses further writes.
// The VM runs it before the scenarios that test hiddfu, so a broken VM image
// (module missing, no devtmpfs, wrong kernel) shows up as its own failure
// instead of as a wrong answer from hiddfu.
//
// Exit status 0 when every step worked; otherwise 1 with the failed step on
// standard error.

#include <linux/uhid.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint16_t kVendorId = 0x1234;
constexpr uint16_t kProductId = 0x5678;
constexpr size_t kDataBytes = 64;
constexpr size_t kReportBytes = kDataBytes + 1; // report id first
constexpr char kDeviceName[] = "e2e-kernel-hid-check";

// Vendor-defined page, report id 1, 64-byte input and output reports: the
// shape hiddfu talks to.
const std::vector<uint8_t> kReportDescriptor = {
    0x06, 0x00, 0xff, // Usage Page (vendor defined 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xa1, 0x01,       // Collection (Application)
    0x85, 0x01,       //   Report ID (1)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xff, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, kDataBytes, //   Report Count (64)
    0x09, 0x01,       //   Usage (1)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0x01,       //   Usage (1)
    0x91, 0x02,       //   Output (Data, Variable, Absolute)
    0xc0,             // End Collection
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

private:
    int m_fd;
};

bool fail(const std::string& step)
{
    std::fprintf(stderr, "kernel-hid-check: FAILED: %s (errno %d: %s)\n", step.c_str(), errno,
                 std::strerror(errno));
    return false;
}

void say(const std::string& step)
{
    std::printf("kernel-hid-check: %s\n", step.c_str());
    std::fflush(stdout);
}

bool writeEvent(int uhid, const uhid_event& event)
{
    return write(uhid, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

bool waitReadable(int fd, int timeoutMs)
{
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, timeoutMs) == 1 && (pfd.revents & POLLIN);
}

// Reads uhid events until one of the wanted type arrives (others, such as
// UHID_OPEN, are skipped) or the time runs out.
bool awaitEvent(int uhid, uint32_t wantedType, uhid_event& event)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!waitReadable(uhid, 200))
            continue;
        if (read(uhid, &event, sizeof event) <= 0)
            return false;
        if (event.type == wantedType)
            return true;
    }
    errno = ETIMEDOUT;
    return false;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The hidraw node whose HID device carries our name. uhid devices have no USB
// parent, so the node is found through its uevent rather than assumed.
std::string findHidrawNode()
{
    DIR* dir = opendir("/sys/class/hidraw");
    if (!dir)
        return {};
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        const std::string node = entry->d_name;
        if (node.rfind("hidraw", 0) != 0)
            continue;
        const std::string uevent = readFile("/sys/class/hidraw/" + node + "/device/uevent");
        if (uevent.find(std::string("HID_NAME=") + kDeviceName + "\n") != std::string::npos) {
            found = node;
            break;
        }
    }
    closedir(dir);
    return found;
}

std::string awaitHidrawNode()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string node = findHidrawNode();
        if (!node.empty())
            return node;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

bool createDevice(int uhid)
{
    uhid_event create{};
    create.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(create.u.create2.name), sizeof create.u.create2.name,
                  "%s", kDeviceName);
    create.u.create2.bus = 0x03; // BUS_USB
    create.u.create2.vendor = kVendorId;
    create.u.create2.product = kProductId;
    create.u.create2.rd_size = static_cast<uint16_t>(kReportDescriptor.size());
    std::memcpy(create.u.create2.rd_data, kReportDescriptor.data(), kReportDescriptor.size());
    return writeEvent(uhid, create);
}

bool checkSysfs(const std::string& node)
{
    const std::string base = "/sys/class/hidraw/" + node + "/device/";
    if (readFile(base + "uevent").find("HID_ID=0003:00001234:00005678\n") == std::string::npos)
        return fail("HID_ID of " + node);
    const std::string descriptor = readFile(base + "report_descriptor");
    if (descriptor != std::string(kReportDescriptor.begin(), kReportDescriptor.end()))
        return fail("report_descriptor of " + node + " differs from the one sent");
    return true;
}

std::vector<uint8_t> reportWithText(const char* text)
{
    std::vector<uint8_t> report(kReportBytes, 0);
    report[0] = 1;
    std::memcpy(report.data() + 1, text, std::strlen(text));
    return report;
}

bool checkOutputReport(int uhid, int hidraw)
{
    const std::vector<uint8_t> sent = reportWithText("ping");
    if (write(hidraw, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size()))
        return fail("write of an output report to hidraw");
    uhid_event event{};
    if (!awaitEvent(uhid, UHID_OUTPUT, event))
        return fail("UHID_OUTPUT for the written report");
    if (event.u.output.size != sent.size() ||
        std::memcmp(event.u.output.data, sent.data(), sent.size()) != 0)
        return fail("UHID_OUTPUT content (size " + std::to_string(event.u.output.size) + ")");
    say("output report arrived intact, report id first");
    return true;
}

bool checkInputReport(int uhid, int hidraw)
{
    const std::vector<uint8_t> reply = reportWithText("pong");
    uhid_event input{};
    input.type = UHID_INPUT2;
    input.u.input2.size = static_cast<uint16_t>(reply.size());
    std::memcpy(input.u.input2.data, reply.data(), reply.size());
    if (!writeEvent(uhid, input))
        return fail("UHID_INPUT2");
    if (!waitReadable(hidraw, 2000))
        return fail("hidraw readable after UHID_INPUT2");
    uint8_t buffer[255] = {};
    const ssize_t got = read(hidraw, buffer, sizeof buffer);
    if (got != static_cast<ssize_t>(reply.size()) || std::memcmp(buffer, reply.data(), reply.size()) != 0)
        return fail("hidraw read returned " + std::to_string(got) + " bytes, not the input report");
    say("input report read back as one report of " + std::to_string(got) + " bytes");
    return true;
}

bool checkDestroy(int uhid, int hidraw)
{
    uhid_event destroy{};
    destroy.type = UHID_DESTROY;
    if (!writeEvent(uhid, destroy))
        return fail("UHID_DESTROY");
    const std::vector<uint8_t> sent = reportWithText("gone");
    if (write(hidraw, sent.data(), sent.size()) >= 0) {
        errno = 0;
        return fail("write to a destroyed device succeeded");
    }
    say(std::string("write after destroy fails: ") + std::strerror(errno));
    return true;
}

bool runProbe()
{
    FileDescriptor uhid(open("/dev/uhid", O_RDWR | O_CLOEXEC));
    if (!uhid.isOpen())
        return fail("open /dev/uhid");
    if (!createDevice(uhid.get()))
        return fail("UHID_CREATE2");
    uhid_event event{};
    if (!awaitEvent(uhid.get(), UHID_START, event))
        return fail("UHID_START");
    const std::string node = awaitHidrawNode();
    if (node.empty())
        return fail("a hidraw node for the new device");
    say("device created as /dev/" + node);
    if (!checkSysfs(node))
        return false;
    FileDescriptor hidraw(open(("/dev/" + node).c_str(), O_RDWR | O_CLOEXEC));
    if (!hidraw.isOpen())
        return fail("open /dev/" + node);
    return checkOutputReport(uhid.get(), hidraw.get()) && checkInputReport(uhid.get(), hidraw.get()) &&
           checkDestroy(uhid.get(), hidraw.get());
}

} // namespace

int main()
{
    if (!runProbe())
        return 1;
    say("OK");
    return 0;
}
