// The HID platform layer on Linux hidraw.
//
// Enumeration reads /sys/class/hidraw directly (no libudev: the node names and
// their order are all that is needed, and sysfs gives them without another
// library to ship or link statically). Index N is the N-th node by node
// number, so hidraw10 comes after hidraw9, and devices keep their index while
// the set of devices does not change.
//
// The ids can also be read from sysfs without opening a node (the uevent's
// HID_ID line), so that a device the user may not open is still found and
// named. Once a node is open, everything goes through ioctls on it, never
// back through sysfs: the ids (HIDIOCGRAWINFO) and the report descriptor
// (HIDIOCGRDESC) then always describe the device behind the handle, even if
// nodes come and go after the open.
//
// An exclusive open takes a non-blocking flock on the node for as long as
// the descriptor lives, so two runs never talk to one device at once.
//
// Every report buffer starts with the report id byte. hidraw already works
// so for writes and feature reports; only an input report of a device that
// does not number its reports comes without one, so readReport puts a 0 in
// front, as Windows does.
#include "hid_platform.h"

#include "hidraw_nodes.h"
#include "report_descriptor.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <vector>

namespace hidplatform {

namespace {

// The length field of the feature ioctls' request code is 14 bits wide.
const size_t kMaxFeatureIoctlLength = (1u << _IOC_SIZEBITS) - 1;

bool toFd(Handle handle, int* fd)
{
    if (handle < 0 || handle > INT_MAX)
        return false;
    *fd = static_cast<int>(handle);
    return true;
}

bool interruptedOrBusy(int error)
{
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

// The time left of a wait, as poll() wants it.
class Deadline {
public:
    explicit Deadline(int timeoutMs)
        : m_forever(timeoutMs < 0),
          m_end(std::chrono::steady_clock::now() + std::chrono::milliseconds(m_forever ? 0 : timeoutMs))
    {
    }

    // -1 to wait without limit; 0 once the time is up.
    int remainingMs() const
    {
        if (m_forever)
            return -1;
        const auto left = m_end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return 0;
        // Round up: poll() must not wake just before the deadline and report
        // a time-out the caller's clock does not yet show.
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

private:
    bool m_forever;
    std::chrono::steady_clock::time_point m_end;
};

enum class Readiness { kReady, kTimeout, kError };

// Waits until `events` can be done on fd. A hang-up or error condition
// without the wanted event (a device unplugged) is an error.
Readiness waitFor(int fd, short events, const Deadline& deadline)
{
    for (;;) {
        pollfd entry = {fd, events, 0};
        const int count = poll(&entry, 1, deadline.remainingMs());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return Readiness::kError;
        }
        if (count == 0)
            return Readiness::kTimeout;
        return (entry.revents & events) ? Readiness::kReady : Readiness::kError;
    }
}

bool readDescriptor(int fd, std::vector<uint8_t>* bytes)
{
    int size = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size < 0 || size > HID_MAX_DESCRIPTOR_SIZE)
        return false;
    auto descriptor = std::make_unique<hidraw_report_descriptor>();
    descriptor->size = static_cast<__u32>(size);
    if (ioctl(fd, HIDIOCGRDESC, descriptor.get()) < 0)
        return false;
    bytes->assign(descriptor->value, descriptor->value + size);
    return true;
}

bool readDescriptorInfo(int fd, ReportDescriptorInfo* info)
{
    std::vector<uint8_t> bytes;
    return readDescriptor(fd, &bytes) && parseReportDescriptor(bytes.data(), bytes.size(), info);
}

// Whether hidraw delivers input reports without their id byte. When the
// descriptor cannot be read (the device just went away, or the handle is
// not hidraw), reports are passed on as the read delivers them.
bool inputComesWithoutId(int fd)
{
    ReportDescriptorInfo info;
    return readDescriptorInfo(fd, &info) && !info.usesReportIds;
}

// One read(): the report as delivered, or with a 0 id byte put in front.
ssize_t readOnce(int fd, uint8_t* buffer, size_t capacity, bool prependId)
{
    if (!prependId)
        return read(fd, buffer, capacity);
    uint8_t dropped = 0;  // room for a read when only the id byte fits
    const ssize_t count = capacity > 1 ? read(fd, buffer + 1, capacity - 1) : read(fd, &dropped, 1);
    if (count < 0)
        return count;
    buffer[0] = 0;
    return capacity > 1 ? count + 1 : 1;
}

} // namespace

namespace {

OpenFailure openFailureOf(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return OpenFailure::kAccessDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return OpenFailure::kNoInterface;
    default:
        return OpenFailure::kOther;
    }
}

void setWhy(OpenFailure* why, OpenFailure value)
{
    if (why != nullptr)
        *why = value;
}

// The node name at `index`, empty when there is none.
std::string nodeAt(unsigned index)
{
    const std::vector<std::string> nodes = listHidrawNodes();
    return index < nodes.size() ? nodes[index] : std::string();
}

} // namespace

Handle openHidrawPath(const std::string& path, Access access, OpenFailure* why)
{
    // Non-blocking, so that a read that poll() announced but another reader
    // took first comes back with EAGAIN instead of blocking past the wait.
    FileDescriptor fd;
    do {
        fd.reset(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    } while (!fd.valid() && errno == EINTR);
    if (!fd.valid()) {
        setWhy(why, openFailureOf(errno));
        return kInvalidHandle;
    }
    if (access == Access::kExclusive) {
        // Never waits: a second run is refused at once instead of queueing
        // behind an update that may take minutes.
        int locked;
        do {
            locked = flock(fd.get(), LOCK_EX | LOCK_NB);
        } while (locked < 0 && errno == EINTR);
        if (locked < 0) {
            setWhy(why, errno == EWOULDBLOCK ? OpenFailure::kInUse : OpenFailure::kOther);
            return kInvalidHandle;
        }
    }
    setWhy(why, OpenFailure::kNone);
    return static_cast<Handle>(fd.release());
}

unsigned interfaceCount()
{
    return static_cast<unsigned>(listHidrawNodes().size());
}

bool peekAttributes(unsigned index, uint16_t* vendorId, uint16_t* productId)
{
    const std::string node = nodeAt(index);
    return !node.empty() && readHidrawNodeIds(node, vendorId, productId);
}

std::string interfacePath(unsigned index)
{
    const std::string node = nodeAt(index);
    return node.empty() ? node : "/dev/" + node;
}

Handle openByIndex(unsigned index, Access access, OpenFailure* why)
{
    const std::string path = interfacePath(index);
    if (path.empty()) {
        setWhy(why, OpenFailure::kNoInterface);
        return kInvalidHandle;
    }
    return openHidrawPath(path, access, why);
}

void close(Handle handle)
{
    int fd;
    if (toFd(handle, &fd))
        ::close(fd);  // not retried on EINTR: Linux frees the descriptor anyway
}

bool getAttributes(Handle handle, uint16_t* vendorId, uint16_t* productId)
{
    int fd;
    hidraw_devinfo info = {};
    if (!toFd(handle, &fd) || ioctl(fd, HIDIOCGRAWINFO, &info) < 0)
        return false;
    // The kernel keeps 32-bit ids; USB and Bluetooth ids are 16-bit, as the
    // HID attributes are on Windows.
    *vendorId = static_cast<uint16_t>(info.vendor);
    *productId = static_cast<uint16_t>(info.product);
    return true;
}

bool getReportLengths(Handle handle, ReportLengths* lengths)
{
    int fd;
    ReportDescriptorInfo info;
    if (!toFd(handle, &fd) || !readDescriptorInfo(fd, &info))
        return false;
    *lengths = info.lengths;
    return true;
}

// Feature reports, for the upgrade library: read from the report
// descriptor, with each report's own length.
bool getFeatureReports(Handle handle, std::vector<FeatureReport>* reports)
{
    int fd;
    ReportDescriptorInfo info;
    if (!toFd(handle, &fd) || !readDescriptorInfo(fd, &info))
        return false;
    *reports = info.featureReports();
    return true;
}

IoResult writeReport(Handle handle, const uint8_t* report, size_t length, int timeoutMs,
                     size_t* written)
{
    int fd;
    if (!toFd(handle, &fd) || report == nullptr || length == 0)
        return IoResult::kError;
    // hidraw always reports a node writable and the driver finishes the
    // transfer inside write() (uhid queues it; usbhid waits for the USB
    // transfer under its own time limit), so the wait here only matters for
    // a node that is gone.
    const Deadline deadline(timeoutMs);
    for (;;) {
        const Readiness readiness = waitFor(fd, POLLOUT, deadline);
        if (readiness != Readiness::kReady)
            return readiness == Readiness::kTimeout ? IoResult::kTimeout : IoResult::kError;
        const ssize_t count = write(fd, report, length);
        if (count >= 0) {
            *written = static_cast<size_t>(count);
            return IoResult::kDone;
        }
        if (!interruptedOrBusy(errno))
            return IoResult::kError;
    }
}

IoResult readReport(Handle handle, uint8_t* buffer, size_t capacity, int timeoutMs, size_t* got)
{
    int fd;
    if (!toFd(handle, &fd) || buffer == nullptr || capacity == 0)
        return IoResult::kError;
    const bool prependId = inputComesWithoutId(fd);
    const Deadline deadline(timeoutMs);
    for (;;) {
        const Readiness readiness = waitFor(fd, POLLIN, deadline);
        if (readiness != Readiness::kReady)
            return readiness == Readiness::kTimeout ? IoResult::kTimeout : IoResult::kError;
        const ssize_t count = readOnce(fd, buffer, capacity, prependId);
        if (count >= 0) {
            *got = static_cast<size_t>(count);
            return IoResult::kDone;
        }
        if (!interruptedOrBusy(errno))
            return IoResult::kError;
    }
}

bool setFeature(Handle handle, const uint8_t* report, size_t length)
{
    int fd;
    if (!toFd(handle, &fd) || report == nullptr || length == 0 || length > kMaxFeatureIoctlLength)
        return false;
    // Not retried on EINTR: the request may already have reached the device,
    // and whether to send it again is the protocol's decision.
    return ioctl(fd, HIDIOCSFEATURE(length), report) >= 0;
}

bool getFeature(Handle handle, uint8_t* report, size_t capacity, size_t* got)
{
    int fd;
    if (!toFd(handle, &fd) || report == nullptr || capacity == 0)
        return false;
    // A larger buffer is fine; the kernel is just told the most it may fill.
    const size_t length = capacity < kMaxFeatureIoctlLength ? capacity : kMaxFeatureIoctlLength;
    int count;
    do {
        count = ioctl(fd, HIDIOCGFEATURE(length), report);
    } while (count < 0 && errno == EINTR);
    if (count < 0)
        return false;
    *got = static_cast<size_t>(count);
    return true;
}

} // namespace hidplatform
