// hiddfu-sim: the simulated HID device attached to the kernel through
// /dev/uhid, so that programs find it through hidraw exactly as they would
// find hardware. The device model (SimDevice) decides what the device
// declares and answers; this file only carries reports between it and uhid.
//
// Readiness: the kernel creates the hidraw node once hid-generic has bound
// the new device. The program gives its device a unique HID_UNIQ string,
// finds the node whose device uevent carries it, and then announces the node
// name on standard output (and in the ready file, if asked).
#include "hidraw_nodes.h"
#include "sim_device.h"
#include "sim_options.h"

#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kUhidPath[] = "/dev/uhid";
const char kDeviceName[] = "hiddfu simulator";
const auto kReadyLimit = std::chrono::seconds(10);
const int kReadyPollMs = 5;

// Exit statuses.
const int kExitOk = 0;
const int kExitFailure = 1;
const int kExitUsage = 2;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd)
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

void printError(const std::string& message)
{
    std::fprintf(stderr, "hiddfu-sim: %s\n", message.c_str());
}

std::string errnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool writeAll(int fd, const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t count = write(fd, bytes, size);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += count;
        size -= static_cast<size_t>(count);
    }
    return true;
}

std::string toHex(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0xF]);
    }
    return text;
}

// Writes `content` to `path` through a temporary file and a rename, so a
// reader sees either nothing or all of it.
bool writeFileAtomically(const std::string& path, const std::string& content)
{
    const std::string temporary = path + ".tmp";
    {
        FileDescriptor file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!file.valid() || !writeAll(file.get(), content.data(), content.size()))
            return false;
    }
    return rename(temporary.c_str(), path.c_str()) == 0;
}

// SIGINT, SIGTERM and SIGHUP as readable events instead of handlers, so the
// device is destroyed on the normal path.
bool blockTerminationSignals(FileDescriptor* signals)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return false;
    signals->reset(signalfd(-1, &set, SFD_CLOEXEC));
    return signals->valid();
}

class UhidDevice {
public:
    UhidDevice(const sim::SimOptions& options, int uhidFd)
        : m_options(options), m_model(options.device), m_uhid(uhidFd),
          m_event(std::make_unique<uhid_event>()),
          m_uniq("hiddfu-sim-" + std::to_string(getpid()))
    {
    }

    ~UhidDevice() { destroy(); }
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    int uhidFd() const { return m_uhid; }

    bool create();
    void destroy();

    // Handles one event from uhid; false when the device cannot go on.
    bool handleEvent();

    // The hidraw node, once the kernel has made it and its /dev entry.
    std::string findNode() const;

    bool finished() const
    {
        return m_options.exitAfterOutputs != 0 && m_outputs >= m_options.exitAfterOutputs;
    }

private:
    bool send() { return writeAll(m_uhid, m_event.get(), sizeof(uhid_event)); }
    void clearEvent(uint32_t type)
    {
        std::memset(m_event.get(), 0, sizeof(uhid_event));
        m_event->type = type;
    }

    bool onOutput();
    bool logOutput(const uint8_t* data, size_t size);
    bool sendInput(const sim::Report& report);
    bool answerGetReport();
    bool answerSetReport();

    const sim::SimOptions& m_options;
    sim::SimDevice m_model;
    int m_uhid;
    std::unique_ptr<uhid_event> m_event;  // 4 KiB+: kept off the stack
    std::string m_uniq;
    bool m_created = false;
    unsigned m_outputs = 0;
};

bool UhidDevice::create()
{
    const std::vector<uint8_t> descriptor = m_model.reportDescriptor();
    if (descriptor.size() > HID_MAX_DESCRIPTOR_SIZE) {
        printError("report descriptor too long");
        return false;
    }
    clearEvent(UHID_CREATE2);
    uhid_create2_req& request = m_event->u.create2;
    std::snprintf(reinterpret_cast<char*>(request.name), sizeof(request.name), "%s", kDeviceName);
    std::snprintf(reinterpret_cast<char*>(request.phys), sizeof(request.phys), "%s", "hiddfu-sim");
    std::snprintf(reinterpret_cast<char*>(request.uniq), sizeof(request.uniq), "%s", m_uniq.c_str());
    request.rd_size = static_cast<__u16>(descriptor.size());
    std::memcpy(request.rd_data, descriptor.data(), descriptor.size());
    request.bus = BUS_USB;
    request.vendor = m_options.device.vendorId;
    request.product = m_options.device.productId;
    request.version = 0x0100;
    if (!send()) {
        printError(errnoText("UHID_CREATE2"));
        return false;
    }
    m_created = true;
    return true;
}

void UhidDevice::destroy()
{
    if (!m_created)
        return;
    clearEvent(UHID_DESTROY);
    send();  // closing /dev/uhid destroys the device as well
    m_created = false;
}

std::string UhidDevice::findNode() const
{
    const std::string node = hidplatform::findHidrawNodeWithUevent("HID_UNIQ=" + m_uniq);
    struct stat status;
    if (node.empty() || stat(("/dev/" + node).c_str(), &status) != 0)
        return std::string();
    return node;
}

bool UhidDevice::handleEvent()
{
    ssize_t count;
    do {
        count = read(m_uhid, m_event.get(), sizeof(uhid_event));
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        printError(errnoText("reading /dev/uhid"));
        return false;
    }
    switch (m_event->type) {
    case UHID_OUTPUT:
        return onOutput();
    case UHID_GET_REPORT:
        return answerGetReport();
    case UHID_SET_REPORT:
        return answerSetReport();
    default:
        return true;  // START, STOP, OPEN, CLOSE: nothing to do
    }
}

bool UhidDevice::onOutput()
{
    const uhid_output_req& output = m_event->u.output;
    if (output.rtype != UHID_OUTPUT_REPORT)
        return true;
    const size_t size = output.size < UHID_DATA_MAX ? output.size : UHID_DATA_MAX;
    const sim::Report received(output.data, output.data + size);
    ++m_outputs;
    // Logged before answering: whoever gets the answer finds the line there.
    if (!logOutput(received.data(), received.size()))
        return false;
    for (const sim::Report& answer : m_model.onOutputReport(received.data(), received.size())) {
        if (!sendInput(answer))
            return false;
    }
    return true;
}

bool UhidDevice::logOutput(const uint8_t* data, size_t size)
{
    if (m_options.logPath.empty())
        return true;
    FileDescriptor log(open(m_options.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    const std::string line = toHex(data, size) + "\n";
    if (!log.valid() || !writeAll(log.get(), line.data(), line.size())) {
        printError(errnoText("writing " + m_options.logPath));
        return false;
    }
    return true;
}

bool UhidDevice::sendInput(const sim::Report& report)
{
    if (report.size() > UHID_DATA_MAX) {
        printError("input report longer than uhid carries");
        return false;
    }
    clearEvent(UHID_INPUT2);
    m_event->u.input2.size = static_cast<__u16>(report.size());
    std::memcpy(m_event->u.input2.data, report.data(), report.size());
    if (!send()) {
        printError(errnoText("UHID_INPUT2"));
        return false;
    }
    return true;
}

// Feature reports are not part of the device model yet (they come with the
// upgrade protocol). Both requests are refused at once with EIO, so the
// caller's ioctl fails promptly instead of after the kernel's 5 s wait.
// This is the place to hand them to the model.
bool UhidDevice::answerGetReport()
{
    const uint32_t id = m_event->u.get_report.id;
    clearEvent(UHID_GET_REPORT_REPLY);
    m_event->u.get_report_reply.id = id;
    m_event->u.get_report_reply.err = EIO;
    return send();
}

bool UhidDevice::answerSetReport()
{
    const uint32_t id = m_event->u.set_report.id;
    clearEvent(UHID_SET_REPORT_REPLY);
    m_event->u.set_report_reply.id = id;
    m_event->u.set_report_reply.err = EIO;
    return send();
}

bool announceReady(const std::string& node, const std::string& readyFile)
{
    std::printf("%s\n", node.c_str());
    std::fflush(stdout);
    if (!readyFile.empty() && !writeFileAtomically(readyFile, node + "\n")) {
        printError(errnoText("writing " + readyFile));
        return false;
    }
    return true;
}

enum class Wake { kUhid, kSignal, kTimeout, kError };

Wake waitForEvent(int uhidFd, int signalFd, int timeoutMs)
{
    pollfd entries[2] = {{uhidFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    for (;;) {
        const int count = poll(entries, 2, timeoutMs);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return Wake::kError;
        if (count == 0)
            return Wake::kTimeout;
        if (entries[1].revents)
            return Wake::kSignal;
        return (entries[0].revents & POLLIN) ? Wake::kUhid : Wake::kError;
    }
}

// Runs the device until a signal, the output limit or a failure.
int serve(UhidDevice& device, const sim::SimOptions& options, int signalFd)
{
    const auto readyDeadline = std::chrono::steady_clock::now() + kReadyLimit;
    bool ready = false;
    while (!device.finished()) {
        if (!ready) {
            const std::string node = device.findNode();
            if (!node.empty()) {
                if (!announceReady(node, options.readyFile))
                    return kExitFailure;
                ready = true;
            } else if (std::chrono::steady_clock::now() > readyDeadline) {
                printError("no hidraw node appeared (is hid-generic loaded?)");
                return kExitFailure;
            }
        }
        switch (waitForEvent(device.uhidFd(), signalFd, ready ? -1 : kReadyPollMs)) {
        case Wake::kUhid:
            if (!device.handleEvent())
                return kExitFailure;
            break;
        case Wake::kSignal:
            return kExitOk;
        case Wake::kTimeout:
            break;
        case Wake::kError:
            printError(errnoText("waiting for events"));
            return kExitFailure;
        }
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    sim::SimOptions options;
    std::string error;
    switch (sim::parseSimOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    case sim::ParseOutcome::kHelp:
        std::fputs(sim::simUsage(), stdout);
        return kExitOk;
    case sim::ParseOutcome::kError:
        printError(error);
        std::fputs(sim::simUsage(), stderr);
        return kExitUsage;
    case sim::ParseOutcome::kRun:
        break;
    }

    // A closed standard output must not kill the device before it is destroyed.
    signal(SIGPIPE, SIG_IGN);
    FileDescriptor signals;
    if (!blockTerminationSignals(&signals)) {
        printError(errnoText("signalfd"));
        return kExitFailure;
    }
    FileDescriptor uhid(open(kUhidPath, O_RDWR | O_CLOEXEC));
    if (!uhid.valid()) {
        printError(errnoText(std::string("opening ") + kUhidPath) + " (root and the uhid module needed)");
        return kExitFailure;
    }
    int status = kExitFailure;
    {
        UhidDevice device(options, uhid.get());
        if (device.create())
            status = serve(device, options, signals.get());
    }  // the device is destroyed here, before the ready file goes
    if (!options.readyFile.empty())
        unlink(options.readyFile.c_str());
    return status;
}
