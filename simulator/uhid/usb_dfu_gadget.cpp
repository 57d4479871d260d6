// The DFU class transport of hiddfu-sim.
//
// Setup: gadgetfs is mounted in a folder of the program's own; it shows one
// file named after the first free UDC. Writing the descriptors
// (usb_dfu_function.h) to that file binds the device to the UDC, and the
// same file then delivers the control requests as events. gadgetfs rather
// than a configfs gadget with FunctionFS: FunctionFS refuses a DFU
// functional descriptor. gadgetfs allows one mount at a time, so one such
// device per machine; it sits beside FunctionFS gadgets on the other UDCs.
//
// Requests: DFU class requests to the interface go to the device core's
// request layer (hiddfu_dev_request) through the device model. An IN
// request is answered or stalled; an OUT request without data is
// acknowledged or stalled; an OUT request with data (DNLOAD) has completed
// at the host once gadgetfs holds its data, so the core's refusal can only
// show in the state it reports afterwards (dfuERROR, as a refused block
// does anyway). gadgetfs handles the device and configuration descriptors
// itself; strings, SET_CONFIGURATION, SET_INTERFACE, GET_STATUS and
// GET_INTERFACE are answered here, anything else is stalled.
//
// gadgetfs completes an OUT data stage on its own, before the program has
// read the data: a host that sends its next request first (dfu-util's
// GETSTATUS follows each DNLOAD at once) makes gadgetfs drop that data
// (the read fails with EIDRM). The program therefore runs at real-time
// priority, so that it takes the data before the host's next request on a
// machine with one processor; a block lost anyway is a transfer the core is
// told it refused (dfuERROR, errSTALLEDPKT), never a gap in the image.
//
// Readiness: once the host has configured the device (SET_CONFIGURATION,
// after it has read the strings), the UDC's name (for instance dummy_udc.0)
// is printed and written to the ready file. The program does not look for
// the device in sysfs: reading a USB device's string attributes there takes
// the device lock, which the host holds while it enumerates, waiting for
// this very program to answer. DETACH restarts the model but the device
// stays on the bus (a DFU-mode device has nothing to return to).
#include "usb_dfu_gadget.h"

#include "event_loop.h"
#include "sim_device.h"
#include "sim_io.h"
#include "usb_dfu_function.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace sim {

namespace {

const auto kReadyLimit = std::chrono::seconds(30);
const int kReadyPollMs = 5;

using Clock = std::chrono::steady_clock;

std::vector<std::string> folderEntries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr)
        return names;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    }
    closedir(directory);
    return names;
}

std::string hex2(uint8_t value)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

std::string hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

// The gadgetfs mount and its device file, undone in reverse order.
class GadgetfsMount {
public:
    explicit GadgetfsMount(std::string folder) : m_folder(std::move(folder)) {}
    ~GadgetfsMount() { remove(); }
    GadgetfsMount(const GadgetfsMount&) = delete;
    GadgetfsMount& operator=(const GadgetfsMount&) = delete;

    // Mounts gadgetfs and opens its device file, named after the UDC.
    bool open(FileDescriptor* device, std::string* udcName);
    void remove();

private:
    const std::string m_folder;
    bool m_made = false;
    bool m_mounted = false;
};

bool GadgetfsMount::open(FileDescriptor* device, std::string* udcName)
{
    if (mkdir(m_folder.c_str(), 0755) != 0) {
        printError(errnoText("creating " + m_folder));
        return false;
    }
    m_made = true;
    if (mount("gadgetfs", m_folder.c_str(), "gadgetfs", 0, nullptr) != 0) {
        printError(errnoText("mounting gadgetfs") + " (gadgetfs module loaded, not mounted elsewhere?)");
        return false;
    }
    m_mounted = true;
    const std::vector<std::string> files = folderEntries(m_folder);
    if (files.size() != 1) {
        printError("gadgetfs shows no device file (no free USB device controller?)");
        return false;
    }
    device->reset(::open((m_folder + "/" + files.front()).c_str(), O_RDWR | O_CLOEXEC));
    if (!device->valid()) {
        printError(errnoText("opening gadgetfs's " + files.front()));
        return false;
    }
    *udcName = files.front();
    return true;
}

void GadgetfsMount::remove()
{
    if (m_mounted)
        umount(m_folder.c_str());
    if (m_made)
        rmdir(m_folder.c_str());
    m_mounted = m_made = false;
}

class DfuClassDevice {
public:
    explicit DfuClassDevice(const SimOptions& options)
        : m_options(options), m_model(options.device), m_serial("hiddfu-sim-" + std::to_string(getpid())),
          m_mount("/tmp/" + m_serial + ".gadgetfs")
    {
    }
    // The device file closes before the mount goes: closing it takes the
    // device off the bus.
    ~DfuClassDevice() { m_ep0.reset(-1); }
    DfuClassDevice(const DfuClassDevice&) = delete;
    DfuClassDevice& operator=(const DfuClassDevice&) = delete;

    bool loadFlash() { return m_model.loadFlash(); }
    bool start();
    // A silent device stops looking at ep0: the pending request times out.
    int eventFd() const { return m_silent ? -1 : m_ep0.get(); }
    // POLLOUT alone: a request is pending whose event gadgetfs will not
    // deliver (see handleEvents); the next read stalls it.
    short eventMask() const { return POLLIN | POLLOUT; }
    bool handleEvents();
    // The UDC's name once the host has configured the device; empty before.
    std::string readyName() const { return m_configured ? m_udcName : std::string(); }
    bool finished() const { return m_vanished; }
    // A DFU-mode device stays on the bus after DETACH: it never re-enumerates.
    std::optional<Clock::time_point> restartDue() const { return std::nullopt; }
    bool restartNow() { return true; }

private:
    struct Events {
        usb_gadgetfs_event events[4];
        ssize_t count = 0;
        int error = 0;  // errno of a failed read
    };
    Events readEvents();
    bool handleEvents(const Events& batch);
    void onSetup(const usb::SetupPacket& setup);
    void onDfuRequest(const usb::SetupPacket& setup);
    void send(const std::vector<uint8_t>& data, uint16_t wanted);
    void acknowledge();
    void stall(const usb::SetupPacket& setup);
    void afterRequest(FeatureOutcome outcome);
    void logLine(const std::string& text) { appendLogLine(m_options.logPath, text); }

    const SimOptions& m_options;
    SimDevice m_model;
    const std::string m_serial;
    GadgetfsMount m_mount;
    FileDescriptor m_ep0;
    std::string m_udcName;
    bool m_configured = false;
    unsigned m_manifestations = 0;
    bool m_silent = false;
    bool m_vanished = false;
};

bool DfuClassDevice::start()
{
    if (m_options.device.dfu.transferSize > usbdfu::kMaxControlBytes) {
        printError("gadgetfs carries at most " + std::to_string(usbdfu::kMaxControlBytes) +
                   " bytes per control transfer: give --transfer-size " +
                   std::to_string(usbdfu::kMaxControlBytes) + " or less");
        return false;
    }
    if (!m_mount.open(&m_ep0, &m_udcName))
        return false;
    const std::vector<uint8_t> descriptors = usbdfu::gadgetfsDescriptors(
        m_options.device.dfu, m_options.device.vendorId, m_options.device.productId);
    // gadgetfs takes the descriptors in one write, which binds the UDC.
    if (write(m_ep0.get(), descriptors.data(), descriptors.size()) != static_cast<ssize_t>(descriptors.size())) {
        printError(errnoText("writing the descriptors to gadgetfs"));
        return false;
    }
    // gadgetfs stalls the requests it leaves to the program (the strings
    // among them) until the program has read ep0 once, and the host asks for
    // the strings during enumeration, which may run before this program is
    // scheduled again: a missed string 0 leaves the device without strings.
    // So ep0 is read at once, without waiting (usually there is nothing
    // yet), and whatever came is handled.
    const int flags = fcntl(m_ep0.get(), F_GETFL);
    if (flags < 0 || fcntl(m_ep0.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        printError(errnoText("making ep0 non-blocking"));
        return false;
    }
    const Events first = readEvents();
    if (fcntl(m_ep0.get(), F_SETFL, flags) != 0) {
        printError(errnoText("making ep0 blocking again"));
        return false;
    }
    return handleEvents(first);
}

// A SETUP event is always the last one a read returns: the request must be
// answered before ep0 is read again, since the next read or write on it is
// the request's data or status stage.
bool DfuClassDevice::handleEvents()
{
    return handleEvents(readEvents());
}

// The events of one read; count -1 with errno set when the read failed.
DfuClassDevice::Events DfuClassDevice::readEvents()
{
    Events batch;
    do {
        batch.count = read(m_ep0.get(), batch.events, sizeof batch.events);
    } while (batch.count < 0 && errno == EINTR);
    batch.error = batch.count < 0 ? errno : 0;
    return batch;
}

bool DfuClassDevice::handleEvents(const Events& batch)
{
    // EIDRM: a request the host gave up on was dropped; EAGAIN: nothing yet
    // (the read right after binding).
    // EL2HLT: the read stalled a request whose event was never delivered
    // (one that replaced a request whose data was lost).
    if (batch.count < 0 && (batch.error == EIDRM || batch.error == EAGAIN || batch.error == EL2HLT))
        return true;
    if (batch.count < 0) {
        errno = batch.error;
        printError(errnoText("reading gadgetfs ep0"));
        return false;
    }
    const usb_gadgetfs_event* events = batch.events;
    const ssize_t count = batch.count;
    const size_t eventCount = static_cast<size_t>(count) / sizeof(usb_gadgetfs_event);
    for (size_t i = 0; i < eventCount && !m_vanished; ++i) {
        if (events[i].type != GADGETFS_SETUP)
            continue;  // CONNECT, DISCONNECT, SUSPEND: nothing to do
        const usb_ctrlrequest& request = events[i].u.setup;
        usb::SetupPacket setup;
        setup.requestType = request.bRequestType;
        setup.request = request.bRequest;
        setup.value = __le16_to_cpu(request.wValue);
        setup.index = __le16_to_cpu(request.wIndex);
        setup.length = __le16_to_cpu(request.wLength);
        onSetup(setup);
    }
    return true;
}

void DfuClassDevice::onSetup(const usb::SetupPacket& setup)
{
    switch (usbdfu::classifySetup(setup)) {
    case usbdfu::ControlAction::kDfuRequest:
        onDfuRequest(setup);
        return;
    case usbdfu::ControlAction::kSendString: {
        const std::vector<uint8_t> string =
            usbdfu::stringDescriptor(static_cast<uint8_t>(setup.value & 0xFF), m_serial, setup.length);
        if (string.empty())
            stall(setup);
        else
            send(string, setup.length);
        return;
    }
    case usbdfu::ControlAction::kSendZeros:
        send(std::vector<uint8_t>(setup.length, 0), setup.length);
        return;
    case usbdfu::ControlAction::kAcknowledge:
        acknowledge();
        if (usbdfu::isSetConfiguration(setup))
            m_configured = setup.value != 0;
        return;
    case usbdfu::ControlAction::kStall:
        stall(setup);
        return;
    }
}

// Logged as "dfu-out RR VVVV DATA" or "dfu-in RR ANSWER" (bRequest, wValue
// and the bytes in hex), with the outcome after it when the request failed.
void DfuClassDevice::onDfuRequest(const usb::SetupPacket& setup)
{
    const hiddfu_dev_setup request = usbdfu::coreSetup(setup);
    Report data;
    if (!request.to_host && request.length > 0) {
        data.resize(request.length);
        const ssize_t count = read(m_ep0.get(), data.data(), data.size());
        if (count != static_cast<ssize_t>(data.size())) {
            printError(errnoText("reading a DFU request's data"));
            m_model.dfuTransportStall();
            logLine("dfu-out " + hex2(request.request) + " " + hex4(request.value) + " lost");
            return;
        }
    }
    Report reply;
    const FeatureOutcome outcome = m_model.dfuClassRequest(request, data.data(), &reply);
    if (request.to_host) {
        const std::string shown = outcome == FeatureOutcome::kDone ? " " + toHex(reply.data(), reply.size()) : "";
        logLine("dfu-in " + hex2(request.request) + shown + outcomeText(outcome));
    } else {
        // A refusal after the data stage comes too late for a stall.
        const char* note =
            outcome == FeatureOutcome::kStalled && !data.empty() ? " (accepted: after the data stage)" : "";
        logLine("dfu-out " + hex2(request.request) + " " + hex4(request.value) +
                (data.empty() ? "" : " " + toHex(data.data(), data.size())) + outcomeText(outcome) + note);
    }
    if (outcome == FeatureOutcome::kDone) {
        if (request.to_host)
            send(reply, setup.length);
        else if (data.empty())
            acknowledge();
    } else if (outcome == FeatureOutcome::kStalled && (request.to_host || data.empty())) {
        stall(setup);
    }
    afterRequest(outcome);
}

// Transfer errors on ep0 (the host gave up, a bus reset) end the request,
// not the device.
void DfuClassDevice::send(const std::vector<uint8_t>& data, uint16_t wanted)
{
    const size_t size = std::min<size_t>(data.size(), wanted);
    if (write(m_ep0.get(), data.data(), size) < 0)
        printError(errnoText("answering on ep0"));
}

// The status stage of a request without data: a read of nothing.
void DfuClassDevice::acknowledge()
{
    if (read(m_ep0.get(), nullptr, 0) < 0)
        printError(errnoText("acknowledging on ep0"));
}

// gadgetfs stalls ep0 when the program transfers in the direction opposite
// to the request's.
void DfuClassDevice::stall(const usb::SetupPacket& setup)
{
    if (usb::isDeviceToHost(setup))
        (void)!read(m_ep0.get(), nullptr, 0);
    else
        (void)!write(m_ep0.get(), nullptr, 0);
}

void DfuClassDevice::afterRequest(FeatureOutcome outcome)
{
    if (outcome == FeatureOutcome::kUnanswered) {
        m_silent = true;
        return;
    }
    if (outcome == FeatureOutcome::kGone) {
        printError("vanished (fault injected): removing the USB device");
        m_ep0.reset(-1);
        m_vanished = true;
        return;
    }
    reportFlashedImage(m_model, &m_manifestations);
    if (m_model.takeRestartRequest())
        printError("DETACH: restarted (a DFU-mode device stays on the bus)");
}

} // namespace

// Real-time priority (see the top of the file); without it (no privilege)
// the device still works when the host is not faster than it.
void raisePriority()
{
    if (!raiseToRealtimePriority())
        printError(errnoText("real-time priority refused; an OUT request's data may be lost"));
}

int runUsbDfuClassDevice(const SimOptions& options, int signalFd)
{
    raisePriority();
    DfuClassDevice device(options);
    return startAndServe(device, options, signalFd,
                         {kReadyLimit, kReadyPollMs,
                          "the host did not enumerate the device (is dummy_hcd loaded?)"});
}

} // namespace sim
