// The HID platform layer over the in-process bus of simulated devices
// (sim_bus.h): what the unit tests link instead of a real backend.
#include "hid_platform.h"
#include "sim_bus.h"
#include "report_descriptor.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace {

using hidplatform::Access;
using hidplatform::Handle;
using hidplatform::IoResult;
using hidplatform::OpenFailure;

struct Slot {
    std::shared_ptr<sim::SimDevice> device;
    simbus::Faults faults;
    unsigned generation = 0; // changes on every plug and unplug
};

struct OpenHandle {
    unsigned index;
    unsigned generation; // the slot's generation when opened
    std::deque<sim::Report> input;
    bool exclusive = false; // opened with Access::kExclusive
};

struct Bus {
    std::mutex mutex;
    std::map<unsigned, Slot> slots;
    std::map<Handle, OpenHandle> handles;
    // Never reset, so a handle kept from an earlier test never names a new one.
    Handle nextHandle = 3;
    size_t opens = 0;
    size_t unknownCloses = 0;
    std::vector<simbus::IoRecord> log;
    long long elapsedMs = 0;
};

Bus& bus()
{
    static Bus instance;
    return instance;
}

// A report length as the platform states it: the data bytes plus the report
// id byte, 0 when the device has no report of that kind, and never more than
// the 16 bits the platform layer has for it.
uint16_t reportLength(uint16_t dataBytes)
{
    if (dataBytes == 0)
        return 0;
    return static_cast<uint16_t>(std::min<unsigned>(dataBytes + 1u, 0xFFFFu));
}

// The slot an open handle still reaches, or null when the handle is unknown
// or its device has been unplugged or replaced since it was opened.
Slot* liveSlot(Bus& b, Handle handle, OpenHandle** open)
{
    auto h = b.handles.find(handle);
    if (h == b.handles.end())
        return nullptr;
    auto s = b.slots.find(h->second.index);
    if (s == b.slots.end() || !s->second.device || s->second.generation != h->second.generation)
        return nullptr;
    if (open != nullptr)
        *open = &h->second;
    return &s->second;
}

void setCount(size_t* out, size_t value)
{
    if (out != nullptr)
        *out = value;
}

// What a wait that nothing ends costs: the whole timeout on the virtual
// clock, or an error where a real program would block for ever.
IoResult nothingArrives(Bus& b, int timeoutMs)
{
    if (timeoutMs < 0)
        return IoResult::kError;
    b.elapsedMs += timeoutMs;
    return IoResult::kTimeout;
}

void logIo(Bus& b, simbus::IoRecord::Kind kind, Handle handle, size_t length, int timeoutMs,
           IoResult result, size_t transferred, sim::Report feature = sim::Report())
{
    b.log.push_back({kind, b.handles.at(handle).index, length, timeoutMs, result, transferred,
                     std::move(feature)});
}

// Hands the device's answers to every handle open on its slot, as hidraw
// gives each reader its own copy of every input report.
void deliver(Bus& b, unsigned index, unsigned generation, const std::vector<sim::Report>& reports)
{
    for (auto& entry : b.handles) {
        OpenHandle& open = entry.second;
        if (open.index == index && open.generation == generation)
            open.input.insert(open.input.end(), reports.begin(), reports.end());
    }
}

IoResult writeToDevice(Bus& b, Handle handle, const uint8_t* report, size_t length, int timeoutMs,
                       size_t* written)
{
    OpenHandle* open = nullptr;
    Slot* slot = liveSlot(b, handle, &open);
    if (slot == nullptr)
        return IoResult::kError;
    if (slot->faults.writesFail)
        return IoResult::kError;
    if (slot->faults.writesTimeOut)
        return nothingArrives(b, timeoutMs);
    deliver(b, open->index, open->generation, slot->device->onOutputReport(report, length));
    setCount(written, length);
    return IoResult::kDone;
}

IoResult readFromDevice(Bus& b, Handle handle, uint8_t* buffer, size_t capacity, int timeoutMs,
                        size_t* got)
{
    OpenHandle* open = nullptr;
    Slot* slot = liveSlot(b, handle, &open);
    if (slot == nullptr || slot->faults.readsFail)
        return IoResult::kError;
    if (slot->faults.readsTimeOut || open->input.empty())
        return nothingArrives(b, timeoutMs);
    const sim::Report report = std::move(open->input.front());
    open->input.pop_front();
    const size_t copied = std::min(capacity, report.size());
    std::copy_n(report.begin(), copied, buffer);
    setCount(got, copied);
    return IoResult::kDone;
}

void unplugSlot(Slot& slot)
{
    slot.device.reset();
    ++slot.generation;
}

// What a feature transfer that the device did not complete costs the host,
// and what becomes of the device.
IoResult featureFailure(Bus& b, Slot& slot, sim::FeatureOutcome outcome, int* waitedMs)
{
    switch (outcome) {
    case sim::FeatureOutcome::kUnanswered:
        b.elapsedMs += simbus::kFeatureTimeoutMs;
        *waitedMs = simbus::kFeatureTimeoutMs;
        return IoResult::kTimeout;
    case sim::FeatureOutcome::kGone:
        unplugSlot(slot);
        return IoResult::kError;
    default:
        return IoResult::kError;
    }
}

// After an accepted DETACH the device restarts and enumerates again: same
// index, new generation, so open handles no longer reach it.
void reenumerateAfterDetach(Slot& slot)
{
    if (slot.device->takeRestartRequest())
        ++slot.generation;
}

IoResult setFeatureOnDevice(Bus& b, Handle handle, const uint8_t* report, size_t length,
                            int* waitedMs)
{
    Slot* slot = liveSlot(b, handle, nullptr);
    if (slot == nullptr || slot->faults.featuresFail)
        return IoResult::kError;
    const sim::FeatureOutcome outcome = slot->device->setFeatureReport(report, length);
    if (outcome != sim::FeatureOutcome::kDone)
        return featureFailure(b, *slot, outcome, waitedMs);
    reenumerateAfterDetach(*slot);
    return IoResult::kDone;
}

IoResult getFeatureFromDevice(Bus& b, Handle handle, uint8_t reportId, sim::Report* reply,
                              int* waitedMs)
{
    Slot* slot = liveSlot(b, handle, nullptr);
    if (slot == nullptr || slot->faults.featuresFail)
        return IoResult::kError;
    const sim::FeatureOutcome outcome = slot->device->getFeatureReport(reportId, reply);
    if (outcome != sim::FeatureOutcome::kDone)
        return featureFailure(b, *slot, outcome, waitedMs);
    return IoResult::kDone;
}

} // namespace

namespace hidplatform {

unsigned interfaceCount()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.slots.empty() ? 0 : b.slots.rbegin()->first + 1;
}

bool peekAttributes(unsigned index, uint16_t* vendorId, uint16_t* productId)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto s = b.slots.find(index);
    if (s == b.slots.end() || !s->second.device)
        return false;
    *vendorId = s->second.device->config().vendorId;
    *productId = s->second.device->config().productId;
    return true;
}

std::string interfacePath(unsigned index)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto s = b.slots.find(index);
    if (s == b.slots.end() || !s->second.device)
        return std::string();
    return "sim:" + std::to_string(index);
}

Handle openByIndex(unsigned index, Access access, OpenFailure* why)
{
    OpenFailure failure = OpenFailure::kNone;
    if (why == nullptr)
        why = &failure;
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto s = b.slots.find(index);
    if (s == b.slots.end() || !s->second.device) {
        *why = OpenFailure::kNoInterface;
        return kInvalidHandle;
    }
    if (s->second.faults.openFails || s->second.faults.openDenied) {
        *why = s->second.faults.openDenied ? OpenFailure::kAccessDenied : OpenFailure::kOther;
        return kInvalidHandle;
    }
    const unsigned generation = s->second.generation;
    // As an exclusive flock: refused while another handle on the same
    // device holds one.
    const bool held = std::any_of(b.handles.begin(), b.handles.end(), [&](const auto& entry) {
        return entry.second.exclusive && entry.second.index == index && entry.second.generation == generation;
    });
    if (access == Access::kExclusive && held) {
        *why = OpenFailure::kInUse;
        return kInvalidHandle;
    }
    const Handle handle = b.nextHandle++;
    b.handles[handle] = OpenHandle{index, generation, {}, access == Access::kExclusive};
    ++b.opens;
    *why = OpenFailure::kNone;
    return handle;
}

void close(Handle handle)
{
    if (handle == kInvalidHandle)
        return;
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (b.handles.erase(handle) == 0)
        ++b.unknownCloses;
}

bool getAttributes(Handle handle, uint16_t* vendorId, uint16_t* productId)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    Slot* slot = liveSlot(b, handle, nullptr);
    if (slot == nullptr || slot->faults.attributesFail)
        return false;
    *vendorId = slot->device->config().vendorId;
    *productId = slot->device->config().productId;
    return true;
}

bool getReportLengths(Handle handle, ReportLengths* lengths)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    Slot* slot = liveSlot(b, handle, nullptr);
    if (slot == nullptr || slot->faults.reportLengthsFail)
        return false;
    const sim::DeviceConfig& config = slot->device->config();
    lengths->input = reportLength(config.inputDataBytes);
    lengths->output = reportLength(config.outputDataBytes);
    lengths->feature = slot->device->featureReportLength();
    return true;
}

// [upgrade library] The feature reports the simulated device declares,
// read from its report descriptor as the Linux backend reads a real one.
bool getFeatureReports(Handle handle, std::vector<FeatureReport>* reports)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    Slot* slot = liveSlot(b, handle, nullptr);
    if (slot == nullptr || slot->faults.reportLengthsFail)
        return false;
    const std::vector<uint8_t> descriptor = slot->device->reportDescriptor();
    ReportDescriptorInfo info;
    if (!parseReportDescriptor(descriptor.data(), descriptor.size(), &info))
        return false;
    *reports = info.featureReports();
    return true;
}

IoResult writeReport(Handle handle, const uint8_t* report, size_t length, int timeoutMs,
                     size_t* written)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    setCount(written, 0);
    const IoResult result = writeToDevice(b, handle, report, length, timeoutMs, written);
    if (b.handles.count(handle) != 0)
        logIo(b, simbus::IoRecord::Kind::kWrite, handle, length, timeoutMs, result,
              result == IoResult::kDone ? length : 0);
    return result;
}

IoResult readReport(Handle handle, uint8_t* buffer, size_t capacity, int timeoutMs, size_t* got)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    setCount(got, 0);
    size_t copied = 0;
    const IoResult result = readFromDevice(b, handle, buffer, capacity, timeoutMs, &copied);
    setCount(got, copied);
    if (b.handles.count(handle) != 0)
        logIo(b, simbus::IoRecord::Kind::kRead, handle, capacity, timeoutMs, result, copied);
    return result;
}

bool setFeature(Handle handle, const uint8_t* report, size_t length)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (report == nullptr || length == 0)
        return false;
    int waitedMs = 0;
    const IoResult result = setFeatureOnDevice(b, handle, report, length, &waitedMs);
    if (b.handles.count(handle) != 0)
        logIo(b, simbus::IoRecord::Kind::kSetFeature, handle, length, waitedMs, result,
              result == IoResult::kDone ? length : 0, sim::Report(report, report + length));
    return result == IoResult::kDone;
}

// As hidraw does, a reply longer than the buffer is cut to it.
bool getFeature(Handle handle, uint8_t* report, size_t capacity, size_t* got)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    setCount(got, 0);
    if (report == nullptr || capacity == 0)
        return false;
    sim::Report reply;
    int waitedMs = 0;
    const IoResult result = getFeatureFromDevice(b, handle, report[0], &reply, &waitedMs);
    size_t copied = 0;
    if (result == IoResult::kDone) {
        copied = std::min(capacity, reply.size());
        std::copy_n(reply.begin(), copied, report);
        setCount(got, copied);
        reply.resize(copied);
    }
    if (b.handles.count(handle) != 0)
        logIo(b, simbus::IoRecord::Kind::kGetFeature, handle, capacity, waitedMs, result, copied,
              std::move(reply));
    return result == IoResult::kDone;
}

} // namespace hidplatform

namespace simbus {

void reset()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.slots.clear();
    b.handles.clear();
    b.opens = 0;
    b.unknownCloses = 0;
    b.log.clear();
    b.elapsedMs = 0;
}

void plug(unsigned index, std::shared_ptr<sim::SimDevice> device)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    Slot& slot = b.slots[index];
    slot.device = std::move(device);
    ++slot.generation;
}

void unplug(unsigned index)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto s = b.slots.find(index);
    if (s == b.slots.end())
        return;
    unplugSlot(s->second);
}

void setFaults(unsigned index, const Faults& faults)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.slots[index].faults = faults;
}

void queueInput(unsigned index, const sim::Report& report)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto s = b.slots.find(index);
    if (s != b.slots.end())
        deliver(b, index, s->second.generation, {report});
}

size_t openHandleCount()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.handles.size();
}

int handleIndex(hidplatform::Handle handle)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto h = b.handles.find(handle);
    return h == b.handles.end() ? -1 : static_cast<int>(h->second.index);
}

size_t openCount()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.opens;
}

size_t unknownCloseCount()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.unknownCloses;
}

std::vector<IoRecord> ioLog()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.log;
}

long long virtualElapsedMs()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.elapsedMs;
}

} // namespace simbus
