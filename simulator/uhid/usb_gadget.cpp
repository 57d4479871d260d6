// The USB transport of hiddfu-sim.
//
// Setup: a configfs gadget (vendor and product id from the options, the
// serial number "hiddfu-sim-PID", which usbhid makes the HID_UNIQ of the
// hidraw node, as the uhid transport does) with one configuration holding a
// FunctionFS function. The function's descriptors (usb_hid_function.h) are
// written to its ep0, and the gadget is bound to the first UDC that takes it
// (dummy_hcd in the tests: the device then appears on the emulated bus of the
// same machine).
//
// Control requests arrive on ep0 as setup events and are answered from the
// same device model the uhid transport uses. A GET_REPORT is answered, or
// refused with a stall, or left unanswered (the host gives up after its
// control timeout). A SET_REPORT can only be stalled before its data is
// read: the model decides from the data, so a SET the model refuses has
// already succeeded at the host by then, and the model's state (dfuERROR)
// tells the host afterwards. Only what the setup packet shows is stalled: a
// SET to a device without feature reports, or one longer than they are. Once the model has gone silent, the program
// stops handling ep0 altogether: every later request, SETs included, is left
// unanswered (reading a SET's data would complete it) and times out.
//
// Input reports go out on the interrupt IN endpoint from a thread of their
// own, since a write there blocks until the host polls for it (and the host
// polls only while the hidraw node is open). Answers not yet collected when
// the next request arrives are dropped, so a request is never answered with
// the answer to an earlier one that its host did not wait for; with
// --keep-uncollected-input they stay queued, as on many real devices, and
// the next host to open the node gets them first.
//
// After a DETACH the gadget is unbound from its UDC and bound again once the
// detach delay has passed: the device leaves the bus and enumerates anew. A
// vanishing fault, a signal or the output limit unbind it and end the
// program; everything made in configfs and the FunctionFS mount are removed.
#include "usb_gadget.h"

#include "event_loop.h"
#include "hidraw_nodes.h"
#include "sim_device.h"
#include "sim_io.h"
#include "usb_hid_function.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

namespace {

const char kGadgetRoot[] = "/sys/kernel/config/usb_gadget";
const char kUdcClass[] = "/sys/class/udc";
// Enumeration on an emulated bus of a loaded machine can take seconds.
const auto kReadyLimit = std::chrono::seconds(30);
const int kReadyPollMs = 5;
// How long a re-enumeration waits for the host to drop the old node.
const auto kDisconnectLimit = std::chrono::seconds(10);
const int kExitFailure = 1;

using Clock = std::chrono::steady_clock;

std::string hex16(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

std::vector<std::string> udcNames()
{
    std::vector<std::string> names;
    DIR* directory = opendir(kUdcClass);
    if (directory == nullptr)
        return names;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

// The gadget's configfs folders, the FunctionFS instance and its mount,
// removed in the reverse order of their making.
class ConfigfsGadget {
public:
    explicit ConfigfsGadget(const std::string& name)
        : m_name(name), m_root(std::string(kGadgetRoot) + "/" + name),
          m_mountPoint("/tmp/" + name + ".ffs")
    {
    }
    ~ConfigfsGadget() { remove(); }
    ConfigfsGadget(const ConfigfsGadget&) = delete;
    ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;

    // Makes the gadget with its function and mounts the function's
    // FunctionFS; the descriptors are then written to ep0 by the caller.
    bool create(const DeviceConfig& device, const std::string& serial);
    // Links the function into the configuration and binds the gadget to
    // the first free UDC; only after the descriptors were written.
    bool bind();
    void unbind();
    void remove();

    std::string endpointPath(const char* endpoint) const { return m_mountPoint + "/" + endpoint; }

private:
    bool makeFolder(const std::string& path);
    bool attribute(const std::string& relative, const std::string& value);

    enum class Undo { kFolder, kMount, kLink };
    const std::string m_name;
    const std::string m_root;
    const std::string m_mountPoint;
    std::vector<std::pair<Undo, std::string>> m_undo;
    std::string m_udc;
};

bool ConfigfsGadget::makeFolder(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) != 0) {
        printError(errnoText("creating " + path));
        return false;
    }
    m_undo.emplace_back(Undo::kFolder, path);
    return true;
}

bool ConfigfsGadget::attribute(const std::string& relative, const std::string& value)
{
    if (!writeTextFile(m_root + "/" + relative, value)) {
        printError(errnoText("writing " + m_root + "/" + relative));
        return false;
    }
    return true;
}

bool ConfigfsGadget::create(const DeviceConfig& device, const std::string& serial)
{
    const std::string function = m_root + "/functions/ffs." + m_name;
    if (!makeFolder(m_root) || !attribute("idVendor", hex16(device.vendorId)) ||
        !attribute("idProduct", hex16(device.productId)) || !attribute("bcdDevice", "0x0100") ||
        !attribute("bcdUSB", "0x0200") || !makeFolder(m_root + "/strings/0x409") ||
        !attribute("strings/0x409/serialnumber", serial) ||
        !attribute("strings/0x409/product", kSimDeviceName) ||
        !attribute("strings/0x409/manufacturer", "hiddfu") || !makeFolder(m_root + "/configs/c.1") ||
        !makeFolder(function) || !makeFolder(m_mountPoint))
        return false;
    if (mount(m_name.c_str(), m_mountPoint.c_str(), "functionfs", 0, nullptr) != 0) {
        printError(errnoText("mounting functionfs " + m_name));
        return false;
    }
    m_undo.emplace_back(Undo::kMount, m_mountPoint);
    const std::string link = m_root + "/configs/c.1/ffs." + m_name;
    if (symlink(function.c_str(), link.c_str()) != 0) {
        printError(errnoText("linking " + link));
        return false;
    }
    m_undo.emplace_back(Undo::kLink, link);
    return true;
}

bool ConfigfsGadget::bind()
{
    // A UDC that serves another gadget refuses (EBUSY): try the next.
    for (const std::string& udc : udcNames()) {
        if (writeTextFile(m_root + "/UDC", udc)) {
            m_udc = udc;
            return true;
        }
    }
    printError("no free USB device controller took the gadget (is dummy_hcd loaded?)");
    return false;
}

void ConfigfsGadget::unbind()
{
    if (m_udc.empty())
        return;
    writeTextFile(m_root + "/UDC", "\n");
    m_udc.clear();
}

void ConfigfsGadget::remove()
{
    unbind();
    for (auto undo = m_undo.rbegin(); undo != m_undo.rend(); ++undo) {
        const char* path = undo->second.c_str();
        if (undo->first == Undo::kMount)
            umount(path);
        else if (undo->first == Undo::kLink)
            unlink(path);
        else
            rmdir(path);
    }
    m_undo.clear();
}

// Sends input reports on the interrupt IN endpoint from a thread, one
// request's answers at a time. A blocking FunctionFS write that a signal
// interrupts takes its transfer back from the controller (EINTR), which is
// how an uncollected answer is dropped.
class InputReportWriter {
public:
    InputReportWriter() = default;
    ~InputReportWriter() { stop(); }
    InputReportWriter(const InputReportWriter&) = delete;
    InputReportWriter& operator=(const InputReportWriter&) = delete;

    void start(int endpointFd, std::chrono::milliseconds answerDelay)
    {
        m_endpoint = endpointFd;
        m_answerDelay = answerDelay;
        m_thread = std::thread([this] { run(); });
    }

    // Drops what is still unsent and sends `reports` instead.
    void replace(std::vector<Report> reports)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_generation;
        m_queue.clear();
        queue(std::move(reports));
        if (m_writing)
            interruptWrite();
    }

    // Sends `reports` after what is still unsent.
    void append(std::vector<Report> reports)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        queue(std::move(reports));
    }

    // Ends the thread; a write still waiting for the host is taken back.
    void stop()
    {
        if (!m_thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            m_queue.clear();
            m_wake.notify_one();
        }
        // The signal may land just before the thread enters write(): repeat
        // it until the thread has seen the stop.
        while (!m_finished.load()) {
            interruptWrite();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_thread.join();
    }

private:
    void interruptWrite() { pthread_kill(m_thread.native_handle(), SIGUSR1); }

    void queue(std::vector<Report> reports)
    {
        for (Report& report : reports)
            m_queue.push_back(std::move(report));
        m_wake.notify_one();
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                break;
            const Report report = std::move(m_queue.front());
            m_queue.pop_front();
            const unsigned generation = m_generation;
            // A device slow to answer: the answer goes out late, unless a
            // newer request has replaced it meanwhile.
            if (m_answerDelay.count() > 0 &&
                (m_wake.wait_for(lock, m_answerDelay, [this] { return m_stopping; }) ||
                 generation != m_generation))
                continue;
            m_writing = true;
            lock.unlock();
            ssize_t written;
            do {
                written = write(m_endpoint, report.data(), report.size());
                // Interrupted but still wanted (a signal meant for an
                // earlier answer): send it again.
            } while (written < 0 && errno == EINTR && stillWanted(generation));
            lock.lock();
            m_writing = false;
        }
        m_finished.store(true);
    }

    bool stillWanted(unsigned generation)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_stopping && generation == m_generation;
    }

    int m_endpoint = -1;
    std::chrono::milliseconds m_answerDelay{0};
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Report> m_queue;
    unsigned m_generation = 0;
    bool m_writing = false;
    bool m_stopping = false;
    std::atomic<bool> m_finished{false};
};

void ignoreSignal(int) {}

// SIGUSR1 interrupts the writer's blocking write: a handler without
// SA_RESTART makes the write return.
bool installInterruptSignal()
{
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGUSR1, &action, nullptr) == 0;
}

class UsbDevice {
public:
    explicit UsbDevice(const SimOptions& options)
        : m_options(options), m_model(options.device),
          m_serial("hiddfu-sim-" + std::to_string(getpid())), m_gadget(m_serial)
    {
    }
    ~UsbDevice() { shutDown(); }
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    bool loadFlash() { return m_model.loadFlash(); }
    bool start();
    void shutDown();

    // What to wait on for control events. A silent device stops looking at
    // ep0 altogether: FunctionFS keeps an unanswered setup pending, and
    // ep0 then reads as ready, and any read or write on it would answer
    // (stall or acknowledge) the request.
    int eventFd() const { return m_silent ? -1 : m_ep0.get(); }
    short eventMask() const { return POLLIN; }
    bool handleEvents();
    std::string findNode() const;
    std::string readyName() const { return findNode(); }
    bool finished() const
    {
        return m_vanished ||
               (m_options.exitAfterOutputs != 0 && m_outputs >= m_options.exitAfterOutputs);
    }
    std::optional<Clock::time_point> restartDue() const { return m_restartAt; }
    bool restartNow();

private:
    bool onSetup(const usb::SetupPacket& setup);
    bool sendOnControl(const std::vector<uint8_t>& data, uint16_t wanted);
    bool receiveOnControl(uint16_t length, Report* data);
    void stall(const usb::SetupPacket& setup);
    bool answerGetFeature(const usb::SetupPacket& setup);
    bool answerSetFeature(const usb::SetupPacket& setup);
    bool answerSetOutput(const usb::SetupPacket& setup);
    bool afterFeature(FeatureOutcome outcome);
    bool logLine(const std::string& text) { return appendLogLine(m_options.logPath, text); }

    const SimOptions& m_options;
    SimDevice m_model;
    const std::string m_serial;
    ConfigfsGadget m_gadget;
    FileDescriptor m_ep0;
    FileDescriptor m_ep1;
    InputReportWriter m_writer;
    unsigned m_outputs = 0;
    unsigned m_manifestations = 0;
    bool m_silent = false;
    bool m_vanished = false;
    std::optional<Clock::time_point> m_restartAt;
};

bool UsbDevice::start()
{
    const std::vector<uint8_t> reportDescriptor = m_model.reportDescriptor();
    if (reportDescriptor.size() > 0xFFFF) {
        printError("report descriptor too long");
        return false;
    }
    if (!m_gadget.create(m_options.device, m_serial))
        return false;
    m_ep0.reset(open(m_gadget.endpointPath("ep0").c_str(), O_RDWR | O_CLOEXEC));
    if (!m_ep0.valid()) {
        printError(errnoText("opening " + m_gadget.endpointPath("ep0")));
        return false;
    }
    const std::vector<uint8_t> descriptors =
        usb::functionFsDescriptors(static_cast<uint16_t>(reportDescriptor.size()));
    const std::vector<uint8_t> strings = usb::functionFsStrings();
    if (!writeAll(m_ep0.get(), descriptors.data(), descriptors.size()) ||
        !writeAll(m_ep0.get(), strings.data(), strings.size())) {
        printError(errnoText("writing the FunctionFS descriptors"));
        return false;
    }
    m_ep1.reset(open(m_gadget.endpointPath("ep1").c_str(), O_RDWR | O_CLOEXEC));
    if (!m_ep1.valid()) {
        printError(errnoText("opening " + m_gadget.endpointPath("ep1")));
        return false;
    }
    m_writer.start(m_ep1.get(), std::chrono::milliseconds(m_options.answerDelayMs));
    return m_gadget.bind();
}

// Unbinding first ends the host's view of the device and fails a write
// still pending on the IN endpoint; the files must be closed before the
// FunctionFS mount can go.
void UsbDevice::shutDown()
{
    m_gadget.unbind();
    m_writer.stop();
    m_ep1.reset(-1);
    m_ep0.reset(-1);
    m_gadget.remove();
}

std::string UsbDevice::findNode() const
{
    const std::string node = hidplatform::findHidrawNodeWithUevent("HID_UNIQ=" + m_serial);
    struct stat status;
    if (node.empty() || stat(("/dev/" + node).c_str(), &status) != 0)
        return std::string();
    return node;
}

bool UsbDevice::handleEvents()
{
    usb_functionfs_event events[4];
    ssize_t count;
    do {
        count = read(m_ep0.get(), events, sizeof events);
    } while (count < 0 && errno == EINTR);
    // EIDRM: a request the host gave up on was replaced by a newer one,
    // which comes as the next event.
    if (count < 0 && errno == EIDRM)
        return true;
    if (count < 0) {
        printError(errnoText("reading FunctionFS ep0"));
        return false;
    }
    const size_t eventCount = static_cast<size_t>(count) / sizeof(usb_functionfs_event);
    for (size_t i = 0; i < eventCount && !m_vanished; ++i) {
        if (events[i].type != FUNCTIONFS_SETUP)
            continue;  // BIND, ENABLE, DISABLE, SUSPEND...: nothing to do
        const usb_ctrlrequest& request = events[i].u.setup;
        usb::SetupPacket setup;
        setup.requestType = request.bRequestType;
        setup.request = request.bRequest;
        setup.value = __le16_to_cpu(request.wValue);
        setup.index = __le16_to_cpu(request.wIndex);
        setup.length = __le16_to_cpu(request.wLength);
        if (!onSetup(setup))
            return false;
    }
    return true;
}

bool UsbDevice::onSetup(const usb::SetupPacket& setup)
{
    switch (usb::classifySetup(setup)) {
    case usb::ControlAction::kSendReportDescriptor:
        return sendOnControl(m_model.reportDescriptor(), setup.length);
    case usb::ControlAction::kSendHidDescriptor:
        return sendOnControl(usb::hidDescriptor(static_cast<uint16_t>(m_model.reportDescriptor().size())),
                             setup.length);
    case usb::ControlAction::kGetFeatureReport:
        return answerGetFeature(setup);
    case usb::ControlAction::kSetFeatureReport:
        return answerSetFeature(setup);
    case usb::ControlAction::kSetOutputReport:
        return answerSetOutput(setup);
    case usb::ControlAction::kAcknowledge:
        return receiveOnControl(0, nullptr);
    case usb::ControlAction::kStall:
        stall(setup);
        return true;
    }
    return true;
}

// Transfer errors on ep0 (the host gave up, the gadget was unbound) end the
// request, not the device.
bool UsbDevice::sendOnControl(const std::vector<uint8_t>& data, uint16_t wanted)
{
    const size_t size = std::min<size_t>(data.size(), wanted);
    if (write(m_ep0.get(), data.data(), size) < 0)
        printError(errnoText("answering on ep0"));
    return true;
}

bool UsbDevice::receiveOnControl(uint16_t length, Report* data)
{
    Report buffer(length);
    const ssize_t count = read(m_ep0.get(), buffer.data(), buffer.size());
    if (count < 0) {
        printError(errnoText("reading a control transfer's data"));
        if (data != nullptr)
            data->clear();
        return true;
    }
    buffer.resize(static_cast<size_t>(count));
    if (data != nullptr)
        *data = std::move(buffer);
    return true;
}

// FunctionFS stalls ep0 when the program transfers in the direction
// opposite to the request's data stage.
void UsbDevice::stall(const usb::SetupPacket& setup)
{
    if (usb::isDeviceToHost(setup))
        (void)!read(m_ep0.get(), nullptr, 0);
    else
        (void)!write(m_ep0.get(), nullptr, 0);
}

bool UsbDevice::answerGetFeature(const usb::SetupPacket& setup)
{
    const uint8_t id = usb::reportId(setup);
    Report reply;
    const FeatureOutcome outcome = m_model.getFeatureReport(id, &reply);
    const std::string shown =
        outcome == FeatureOutcome::kDone ? toHex(reply.data(), reply.size()) : toHex(&id, 1);
    if (!logLine("get-feature " + shown + outcomeText(outcome)))
        return false;
    if (outcome == FeatureOutcome::kDone) {
        sendOnControl(reply, setup.length);
        return afterFeature(outcome);
    }
    if (outcome == FeatureOutcome::kStalled)
        stall(setup);
    return afterFeature(outcome);
}

bool UsbDevice::answerSetFeature(const usb::SetupPacket& setup)
{
    // What the setup packet alone tells: a device without feature reports,
    // a report longer than its longest one, or the request the stall-at-block
    // fault refuses, is refused with a stall.
    const uint8_t id = usb::reportId(setup);
    const bool faultStall = m_model.refusesFeatureSetBeforeData(id);
    if (setup.length == 0 || setup.length > m_model.featureReportLength() || faultStall) {
        stall(setup);
        if (faultStall)
            m_model.dfuTransportStall();
        return logLine("set-feature " + toHex(&id, 1) + outcomeText(FeatureOutcome::kStalled));
    }
    Report report;
    receiveOnControl(setup.length, &report);
    if (report.empty())
        return true;  // the transfer failed; the host has its error
    const FeatureOutcome outcome = m_model.setFeatureReport(report.data(), report.size());
    // A refusal here comes after the data stage, which has already
    // completed the transfer: the log says so.
    const char* note = outcome == FeatureOutcome::kStalled ? " (accepted: after the data stage)" : "";
    if (!logLine("set-feature " + toHex(report.data(), report.size()) + outcomeText(outcome) + note))
        return false;
    return afterFeature(outcome);
}

bool UsbDevice::answerSetOutput(const usb::SetupPacket& setup)
{
    Report report;
    receiveOnControl(setup.length, &report);
    if (report.empty())
        return true;
    ++m_outputs;
    // Logged before answering: whoever gets the answer finds the line there.
    if (!logLine(toHex(report.data(), report.size())))
        return false;
    std::vector<Report> answers = m_model.onOutputReport(report.data(), report.size());
    if (m_options.keepUncollectedInput)
        m_writer.append(std::move(answers));
    else
        m_writer.replace(std::move(answers));
    return true;
}

bool UsbDevice::afterFeature(FeatureOutcome outcome)
{
    if (outcome == FeatureOutcome::kUnanswered) {
        m_silent = true;
        return true;
    }
    if (outcome == FeatureOutcome::kGone) {
        printError("vanished (fault injected): removing the USB device");
        m_gadget.unbind();
        m_vanished = true;
        return true;
    }
    if (outcome != FeatureOutcome::kDone)
        return true;
    if (const auto due =
            afterCompletedFeature(m_model, m_options.reenumerateOnDetach, &m_manifestations))
        m_restartAt = due;
    return true;
}

// Leaves the bus and comes back: what a USB device does when it resets.
// The host has to see the device gone before it comes back: otherwise the
// readiness check could find the old node still there and announce it.
bool UsbDevice::restartNow()
{
    m_restartAt.reset();
    m_gadget.unbind();
    if (!m_options.readyFile.empty())
        unlink(m_options.readyFile.c_str());
    const auto giveUp = Clock::now() + kDisconnectLimit;
    while (!findNode().empty() && Clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(kReadyPollMs));
    return m_gadget.bind();
}

} // namespace

int runUsbDevice(const SimOptions& options, int signalFd)
{
    if (!installInterruptSignal()) {
        printError(errnoText("installing the SIGUSR1 handler"));
        return kExitFailure;
    }
    UsbDevice device(options);
    return startAndServe(device, options, signalFd,
                         {kReadyLimit, kReadyPollMs,
                          "no hidraw node appeared (are usbhid and hid-generic loaded?)"});
}

} // namespace sim
