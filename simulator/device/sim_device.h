// The simulated HID device: a vendor-defined interface with input and output
// reports of id 1 for control requests and, unless DFU is turned off, the
// feature reports 0xD0-0xD3 of the upgrade protocol (dfu_machine.h). The
// model knows nothing about how it is attached: the uhid program presents it
// to the kernel as a real HID device, and the in-process platform backend
// presents it to the tests.
//
// Thread safety: every member function may be called from any thread; the
// device serialises them (an upgrade runs on the library's worker thread
// while a test looks at the device).
#ifndef SIM_DEVICE_H
#define SIM_DEVICE_H

#include "dfu_machine.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

using Report = std::vector<uint8_t>;

// Feature reports served by something other than the DFU machine, for
// traffic a correct device never produces (a test's scripted device that
// misbehaves at one chosen request). It takes the machine's place entirely:
// the report descriptor declares its feature reports, and every feature
// SET_REPORT / GET_REPORT goes to it. Calls come serialised by the device.
class FeatureBehaviour {
public:
    struct Declared {
        uint8_t id;
        uint16_t dataBytes;  // the report's length without the id byte
    };

    virtual ~FeatureBehaviour() = default;
    virtual std::vector<Declared> declaredFeatureReports() const = 0;
    virtual FeatureOutcome setFeatureReport(const uint8_t* report, size_t length) = 0;
    virtual FeatureOutcome getFeatureReport(uint8_t reportId, Report* reply) = 0;
};

struct DeviceConfig {
    uint16_t vendorId = 0x1234;
    uint16_t productId = 0x5678;
    uint16_t inputDataBytes = 64;   // input report length without the id byte
    uint16_t outputDataBytes = 64;  // output report length without the id byte
    // Control requests: name -> reply text. Names not listed get no reply.
    std::map<std::string, std::string> replies = {{"version", "1.0.0"}};
    // Never answers any control request (a device that ignores its host).
    // Feature reports have their own faults in `dfu`.
    bool silent = false;
    // The upgrade protocol: feature reports, state machine, flash, faults.
    DfuConfig dfu;
    // Set: serves the feature reports instead of the DFU machine (`dfu` is
    // then not used for them).
    std::shared_ptr<FeatureBehaviour> customFeatures;
};

class SimDevice {
public:
    explicit SimDevice(DeviceConfig config);

    const DeviceConfig& config() const { return m_config; }

    // The HID report descriptor the device declares.
    std::vector<uint8_t> reportDescriptor() const;

    // An output report arrived (report id first). Returns the input reports
    // the device sends back in answer, each report id first and exactly the
    // input report length long.
    std::vector<Report> onOutputReport(const uint8_t* report, size_t length);

    // Every output report received so far, in order, as received.
    std::vector<Report> receivedOutputs() const;

    // The longest feature report, id byte included; 0 without DFU.
    uint16_t featureReportLength() const;

    // A SET_REPORT / GET_REPORT of a feature report (see DfuMachine).
    FeatureOutcome setFeatureReport(const uint8_t* report, size_t length);
    FeatureOutcome getFeatureReport(uint8_t reportId, Report* reply);

    // A DFU class request on a standard USB DFU interface (see
    // DfuMachine::classRequest).
    FeatureOutcome dfuClassRequest(const hiddfu_dev_setup& setup, const uint8_t* data, Report* reply);

    // See DfuMachine::transportStall.
    void dfuTransportStall();

    // See DfuMachine::refusesSetBeforeData; false for custom feature reports.
    bool refusesFeatureSetBeforeData(uint8_t reportId) const;

    // Makes the flash file named in the configuration, if it exists, the
    // device's firmware; false when it exists but cannot be read.
    bool loadFlash();

    // The version the device answers to "version": the flashed image's
    // (see the convention in dfu_machine.h), else the reply table's; empty
    // when neither has one.
    std::string firmwareVersion() const;

    // Manifestations completed so far (each one replaced the flash).
    unsigned manifestations() const;
    // See DfuMachine::lastDownload.
    DownloadTiming lastDownload() const;

    // A copy of the DFU machine as it is now: state, status, flash, counters.
    DfuMachine dfuSnapshot() const;

    // See DfuMachine::takeRestartRequest.
    std::optional<uint32_t> takeRestartRequest();

private:
    bool findReply(const std::string& name, std::string* text) const;

    const DeviceConfig m_config;
    mutable std::mutex m_mutex;
    std::vector<Report> m_received;
    DfuMachine m_dfu;
};

} // namespace sim

#endif
