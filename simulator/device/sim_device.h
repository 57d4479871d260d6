// The simulated HID device: a vendor-defined interface with input and output
// reports of id 1 (and, later, feature reports for firmware upgrades). The
// model knows nothing about how it is attached: the uhid program presents it
// to the kernel as a real HID device, and the in-process platform backend
// presents it to the tests.
#ifndef SIM_DEVICE_H
#define SIM_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

using Report = std::vector<uint8_t>;

struct DeviceConfig {
    uint16_t vendorId = 0x1234;
    uint16_t productId = 0x5678;
    uint16_t inputDataBytes = 64;   // input report length without the id byte
    uint16_t outputDataBytes = 64;  // output report length without the id byte
    // Control requests: name -> reply text. Names not listed get no reply.
    std::map<std::string, std::string> replies = {{"version", "1.0.0"}};
    // Never answers any request (a device that ignores its host).
    bool silent = false;
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
    const std::vector<Report>& receivedOutputs() const { return m_received; }

private:
    DeviceConfig m_config;
    std::vector<Report> m_received;
};

} // namespace sim

#endif
