// hiddfu-sim: the simulated HID device attached to the kernel through
// /dev/uhid (or, with --usb, as a USB gadget: usb_gadget.h), so that programs
// find it through hidraw exactly as they would find hardware. The device
// model (SimDevice) decides what the device declares and answers; this file
// only carries reports between it and uhid.
//
// Readiness: the kernel creates the hidraw node once hid-generic has bound
// the new device. The program gives its device a unique HID_UNIQ string,
// finds the node whose device uevent carries it, and then announces the node
// name on standard output (and in the ready file, if asked).
//
// Feature reports (UHID_GET_REPORT / UHID_SET_REPORT) go to the model's DFU
// machine and are answered with its outcome: a reply with err 0, EIO for a
// stall, no reply at all for a silent device (the kernel gives up after 5 s),
// and for a device that vanishes the uhid device is destroyed and the
// program exits. After a DETACH the device re-enumerates: once the detach
// delay has passed it is destroyed and created again (a new hidraw node),
// the ready file being removed in between and written again, with the new
// node, once that node exists.
#include "event_loop.h"
#include "hidraw_nodes.h"
#include "sim_device.h"
#include "sim_io.h"
#include "sim_options.h"
#include "usb_dfu_gadget.h"
#include "usb_gadget.h"

#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const char kUhidPath[] = "/dev/uhid";
const char* const kDeviceName = sim::kSimDeviceName;
const auto kReadyLimit = std::chrono::seconds(10);
const int kReadyPollMs = 5;

// Exit statuses.
const int kExitOk = 0;
const int kExitFailure = 1;
const int kExitUsage = 2;

using sim::FileDescriptor;
using sim::errnoText;
using sim::printError;
using sim::toHex;
using sim::writeAll;

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

using Clock = std::chrono::steady_clock;

using sim::outcomeText;

class UhidDevice {
public:
    UhidDevice(const sim::SimOptions& options, int uhidFd)
        : m_options(options), m_model(options.device), m_uhid(uhidFd),
          m_event(std::make_unique<uhid_event>()),
          m_uniq("hiddfu-sim-" + std::to_string(getpid()))
    {
    }

    bool loadFlash() { return m_model.loadFlash(); }

    ~UhidDevice() { destroy(); }
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    // The shared event loop's view (event_loop.h).
    int eventFd() const { return m_uhid; }
    short eventMask() const { return POLLIN; }
    std::string readyName() const { return findNode(); }

    bool create();
    bool start() { return create(); }
    void destroy();

    // Handles one event from uhid; false when the device cannot go on.
    bool handleEvents();

    // The hidraw node, once the kernel has made it and its /dev entry.
    std::string findNode() const;

    bool finished() const
    {
        return m_vanished ||
               (m_options.exitAfterOutputs != 0 && m_outputs >= m_options.exitAfterOutputs);
    }

    // When the device re-enumerates after a DETACH; empty when it does not.
    std::optional<Clock::time_point> restartDue() const { return m_restartAt; }

    // Destroys the device and creates it again: a reset that re-enumerates.
    bool restartNow();

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
    void announceTransferSize(sim::FeatureOutcome outcome, sim::Report* reply) const;
    bool answerSetReport();
    bool logLine(const std::string& line);
    bool sendGetReportReply(uint32_t id, int error, const sim::Report& report);
    bool sendSetReportReply(uint32_t id, int error);
    bool afterFeature(sim::FeatureOutcome outcome);

    const sim::SimOptions& m_options;
    sim::SimDevice m_model;
    int m_uhid;
    std::unique_ptr<uhid_event> m_event;  // 4 KiB+: kept off the stack
    std::string m_uniq;
    bool m_created = false;
    unsigned m_outputs = 0;
    bool m_vanished = false;
    unsigned m_manifestations = 0;
    std::optional<Clock::time_point> m_restartAt;
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

bool UhidDevice::handleEvents()
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
    return logLine(toHex(data, size));
}

bool UhidDevice::logLine(const std::string& text)
{
    return sim::appendLogLine(m_options.logPath, text);
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

// Output and input reports through GET_REPORT/SET_REPORT are not part of
// the model: refused with EIO at once. Feature reports go to the model; each
// is logged before it is answered.
bool UhidDevice::answerGetReport()
{
    const uhid_get_report_req request = m_event->u.get_report;
    if (request.rtype != UHID_FEATURE_REPORT)
        return sendGetReportReply(request.id, EIO, sim::Report());
    sim::Report reply;
    const sim::FeatureOutcome outcome = m_model.getFeatureReport(request.rnum, &reply);
    announceTransferSize(outcome, &reply);
    const std::string shown = outcome == sim::FeatureOutcome::kDone
                                  ? toHex(reply.data(), reply.size())
                                  : toHex(&request.rnum, 1);
    if (!logLine("get-feature " + shown + outcomeText(outcome)))
        return false;
    if (outcome == sim::FeatureOutcome::kDone)
        return sendGetReportReply(request.id, 0, reply) && afterFeature(outcome);
    if (outcome == sim::FeatureOutcome::kStalled)
        return sendGetReportReply(request.id, EIO, reply);
    return afterFeature(outcome);
}

// --announce-transfer-size: the functional report (id, bmAttributes,
// wDetachTimeOut, wTransferSize little-endian, bcdDFU) with the announced
// transfer size in place of the real one.
void UhidDevice::announceTransferSize(sim::FeatureOutcome outcome, sim::Report* reply) const
{
    if (m_options.announcedTransferSize < 0 || outcome != sim::FeatureOutcome::kDone || reply->size() < 6 ||
        (*reply)[0] != sim::dfu::kFunctionalReportId)
        return;
    (*reply)[4] = static_cast<uint8_t>(m_options.announcedTransferSize & 0xFF);
    (*reply)[5] = static_cast<uint8_t>((m_options.announcedTransferSize >> 8) & 0xFF);
}

bool UhidDevice::answerSetReport()
{
    const uhid_set_report_req& request = m_event->u.set_report;
    const uint32_t id = request.id;
    if (request.rtype != UHID_FEATURE_REPORT)
        return sendSetReportReply(id, EIO);
    const size_t size = std::min<size_t>(request.size, UHID_DATA_MAX);
    const sim::Report report(request.data, request.data + size);
    const sim::FeatureOutcome outcome = m_model.setFeatureReport(report.data(), report.size());
    if (!logLine("set-feature " + toHex(report.data(), report.size()) + outcomeText(outcome)))
        return false;
    if (outcome == sim::FeatureOutcome::kDone)
        return sendSetReportReply(id, 0) && afterFeature(outcome);
    if (outcome == sim::FeatureOutcome::kStalled)
        return sendSetReportReply(id, EIO);
    return afterFeature(outcome);
}

bool UhidDevice::sendGetReportReply(uint32_t id, int error, const sim::Report& report)
{
    clearEvent(UHID_GET_REPORT_REPLY);
    uhid_get_report_reply_req& reply = m_event->u.get_report_reply;
    reply.id = id;
    reply.err = static_cast<__u16>(error);
    const size_t size = std::min<size_t>(report.size(), UHID_DATA_MAX);
    reply.size = static_cast<__u16>(size);
    std::copy_n(report.begin(), size, reply.data);
    return send();
}

bool UhidDevice::sendSetReportReply(uint32_t id, int error)
{
    clearEvent(UHID_SET_REPORT_REPLY);
    m_event->u.set_report_reply.id = id;
    m_event->u.set_report_reply.err = static_cast<__u16>(error);
    return send();
}

// What follows a feature report: a silent device just stays silent, a
// vanished one ends the program; a DETACH schedules the re-enumeration, and
// a completed manifestation is reported on stderr.
bool UhidDevice::afterFeature(sim::FeatureOutcome outcome)
{
    if (outcome == sim::FeatureOutcome::kGone) {
        printError("vanished (fault injected): destroying the device");
        destroy();
        m_vanished = true;
        return true;
    }
    if (outcome != sim::FeatureOutcome::kDone)
        return true;
    if (const auto due = sim::afterCompletedFeature(m_model, m_options.reenumerateOnDetach,
                                                    &m_manifestations))
        m_restartAt = due;
    return true;
}

bool UhidDevice::restartNow()
{
    m_restartAt.reset();
    destroy();
    if (!m_options.readyFile.empty())
        unlink(m_options.readyFile.c_str());
    return create();
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
    if (options.realtime && !sim::raiseToRealtimePriority()) {
        printError(errnoText("real-time priority"));
        return kExitFailure;
    }
    if (options.usb || options.usbDfuClass) {
        const int status = options.usbDfuClass ? sim::runUsbDfuClassDevice(options, signals.get())
                                               : sim::runUsbDevice(options, signals.get());
        if (!options.readyFile.empty())
            unlink(options.readyFile.c_str());
        return status;
    }
    FileDescriptor uhid(open(kUhidPath, O_RDWR | O_CLOEXEC));
    if (!uhid.valid()) {
        printError(errnoText(std::string("opening ") + kUhidPath) + " (root and the uhid module needed)");
        return kExitFailure;
    }
    int status = kExitFailure;
    {
        UhidDevice device(options, uhid.get());
        status = sim::startAndServe(device, options, signals.get(),
                                    {kReadyLimit, kReadyPollMs,
                                     "no hidraw node appeared (is hid-generic loaded?)"});
    }  // the device is destroyed here, before the ready file goes
    if (!options.readyFile.empty())
        unlink(options.readyFile.c_str());
    return status;
}
