// Records a whole update as the upgrade library performs it and writes it
// out as a C header for the device-side replay test on the emulated
// Cortex-M board (replay_session.c).
//
// The library runs through its C calls against one simulated device on the
// in-process HID bus: connect, update with a small payload, reset. Every
// feature report it sets or gets, with the device's answer, comes from the
// bus's I/O log. The header holds those steps, the payload, and the device
// settings the recording used, so the target can set its core up the same
// way and must answer byte for byte as the simulator did.
//
// usage: record_session OUTPUT.h
// The DFU file of the update is written beside it (OUTPUT.h.dfu).
#include "HidDfu.h"
#include "kr_dfufirmware.h"
#include "sim_bus.h"
#include "sim_device.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint16_t kVendorId = 0x1234;
const uint16_t kProductId = 0x5678;
// A couple of dozen blocks, the last one short.
const uint16_t kTransferSize = 128;
const size_t kPayloadBytes = 3000;
const uint32_t kWritePollMs = 2;
const uint32_t kManifestPollMs = 10;

// Payload bytes that differ from block to block (xorshift32), so a block
// stored at the wrong place shows up in the flash comparison.
Bytes makePayload()
{
    Bytes payload(kPayloadBytes);
    uint32_t x = 0x2545F491u;
    for (uint8_t& byte : payload) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return payload;
}

sim::DeviceConfig deviceConfig()
{
    sim::DeviceConfig config;
    config.vendorId = kVendorId;
    config.productId = kProductId;
    config.dfu.transferSize = kTransferSize;
    config.dfu.pollTimeoutMs = kWritePollMs;
    config.dfu.manifestTimeoutMs = kManifestPollMs;
    return config;
}

uint8_t attributesOf(const sim::DfuConfig& dfu)
{
    return static_cast<uint8_t>((dfu.canDownload ? sim::dfu::kAttrCanDownload : 0) |
                                (dfu.manifestationTolerant ? sim::dfu::kAttrManifestationTolerant : 0) |
                                (dfu.willDetach ? sim::dfu::kAttrWillDetach : 0));
}

bool fail(const std::string& why)
{
    std::fprintf(stderr, "record_session: %s\n", why.c_str());
    return false;
}

bool writeDfuFile(const std::string& path, const Bytes& payload)
{
    kr::DfuFirmware firmware;
    firmware.setVendorId(kVendorId);
    firmware.setProductId(kProductId);
    firmware.setDeviceRelease(0x0100);
    firmware.setData(payload.data(), static_cast<uint32_t>(payload.size()));
    return firmware.save(path.c_str());
}

// Connect, update, reset, through the library's C calls.
bool runUpdate(const std::string& dfuPath)
{
    uint16 count = 0;
    if (hidDfuConnect(kVendorId, kProductId, 0, 0, &count) != 0)
        return fail("the library did not connect to the simulated device");
    if (hidDfuUpgrade(dfuPath.c_str(), 1) != 0) {
        hidDfuDisconnect();
        return fail("the library refused the update");
    }
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (hidDfuGetProgress() != 100 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int32 result = hidDfuGetResult();
    const int32 reset = result == 0 ? hidDfuResetDevice() : -1;
    hidDfuDisconnect();
    if (result != 0)
        return fail("the update ended with result " + std::to_string(result));
    if (reset != 0)
        return fail("the reset failed");
    return true;
}

bool checkDevice(const sim::SimDevice& device, const Bytes& payload)
{
    const sim::DfuMachine machine = device.dfuSnapshot();
    if (machine.flash() != payload)
        return fail("the simulated flash does not hold the payload");
    if (machine.manifestations() != 1 || machine.restarts() != 1)
        return fail("expected one manifestation and one restart");
    // An early poll is answered from the simulator's clock, which the
    // target does not have: such a transcript could not be replayed.
    if (machine.earlyPolls() != 0)
        return fail("the library polled before the announced poll timeout");
    return true;
}

// A comment for one step of the transcript, for whoever reads a failure.
std::string describe(const Bytes& report, bool isSet)
{
    static const char* const kRequests[] = {"DETACH", "DNLOAD", "UPLOAD", "GETSTATUS",
                                            "CLRSTATUS", "GETSTATE", "ABORT"};
    if (isSet && report.size() >= sim::dfu::kRequestHeaderBytes) {
        const std::string name = report[1] < 7 ? kRequests[report[1]] : "request " + std::to_string(report[1]);
        return name + " wValue " + std::to_string(report[2] | report[3] << 8) + " wLength " +
               std::to_string(report[4] | report[5] << 8);
    }
    if (!isSet && report[0] == sim::dfu::kStatusReportId && report.size() >= sim::dfu::kStatusReportBytes)
        return "status " + std::to_string(report[1]) + ", poll " +
               std::to_string(report[2] | report[3] << 8 | report[4] << 16) + " ms, state " +
               std::to_string(report[5]);
    if (!isSet && report[0] == sim::dfu::kFunctionalReportId)
        return "functional";
    return isSet ? "set" : "get";
}

void writeArray(std::ostream& out, const char* name, const Bytes& bytes)
{
    out << "static const uint8_t " << name << "[" << bytes.size() << "] = {";
    for (size_t i = 0; i < bytes.size(); ++i) {
        out << (i % 16 == 0 ? "\n    " : " ") << "0x";
        static const char kHex[] = "0123456789abcdef";
        out << kHex[bytes[i] >> 4] << kHex[bytes[i] & 15] << ",";
    }
    out << "\n};\n\n";
}

// The I/O log's feature reports as C: steps, their bytes, the payload.
bool writeHeader(std::ostream& out, const sim::DeviceConfig& config, const Bytes& payload,
                 const std::vector<simbus::IoRecord>& log)
{
    std::ostringstream steps;
    Bytes bytes;
    size_t stepCount = 0;
    for (const simbus::IoRecord& record : log) {
        const bool isSet = record.kind == simbus::IoRecord::Kind::kSetFeature;
        if (!isSet && record.kind != simbus::IoRecord::Kind::kGetFeature)
            continue;
        // A refused GET leaves no report id in the log, and an unanswered
        // report has no answer to compare: neither belongs in a good update.
        const bool accepted = record.result == hidplatform::IoResult::kDone;
        if (record.feature.empty() || (!accepted && (!isSet || record.result != hidplatform::IoResult::kError)))
            return fail("a feature report failed in a way the transcript cannot hold");
        steps << "    {" << (isSet ? "SESSION_SET" : "SESSION_GET") << ", 0x" << std::hex
              << unsigned(record.feature[0]) << std::dec << ", " << (accepted ? 1 : 0) << ", "
              << record.length << ", " << (isSet ? 0 : record.feature.size()) << ", " << bytes.size()
              << "}, /* " << describe(record.feature, isSet) << " */\n";
        bytes.insert(bytes.end(), record.feature.begin(), record.feature.end());
        ++stepCount;
    }
    if (stepCount == 0)
        return fail("the library sent no feature reports");

    out << "/* Generated at build time by record_session (device/target): an update\n"
           " * recorded from the upgrade library against the simulated device. Do not\n"
           " * edit. */\n"
           "#ifndef SESSION_TRANSCRIPT_H\n#define SESSION_TRANSCRIPT_H\n\n#include <stdint.h>\n\n";
    out << "/* The device settings of the recording. */\n";
    out << "#define SESSION_TRANSFER_SIZE " << config.dfu.transferSize << "u\n";
    out << "#define SESSION_DETACH_TIMEOUT_MS " << config.dfu.detachTimeoutMs << "u\n";
    out << "#define SESSION_ATTRIBUTES 0x" << std::hex << unsigned(attributesOf(config.dfu)) << std::dec << "u\n";
    out << "#define SESSION_WRITE_POLL_MS " << config.dfu.pollTimeoutMs << "u\n";
    out << "#define SESSION_MANIFEST_POLL_MS " << config.dfu.manifestTimeoutMs << "u\n";
    out << "/* What the session did to the device. */\n";
    out << "#define SESSION_MANIFESTATIONS 1u\n#define SESSION_DETACHES 1u\n";
    out << "#define SESSION_STEP_COUNT " << stepCount << "u\n\n";
    out << "enum { SESSION_SET = 0, SESSION_GET = 1 };\n\n"
           "/* One feature report. A SET sent `length` bytes, session_bytes[offset]\n"
           " * onwards (report id first); a GET asked for report `report_id` with room\n"
           " * for `length` bytes and got `reply_length` bytes, session_bytes[offset]\n"
           " * onwards. `accepted` 0: the device refused it (a stall). */\n"
           "struct session_step {\n    uint8_t kind;\n    uint8_t report_id;\n    uint8_t accepted;\n"
           "    uint16_t length;\n    uint16_t reply_length;\n    uint32_t offset;\n};\n\n";
    out << "static const struct session_step session_steps[SESSION_STEP_COUNT] = {\n" << steps.str() << "};\n\n";
    writeArray(out, "session_bytes", bytes);
    writeArray(out, "session_payload", payload);
    out << "#endif\n";
    return static_cast<bool>(out);
}

bool record(const std::string& headerPath)
{
    const Bytes payload = makePayload();
    const std::string dfuPath = headerPath + ".dfu";
    if (!writeDfuFile(dfuPath, payload))
        return fail("cannot write " + dfuPath);

    simbus::reset();
    const sim::DeviceConfig config = deviceConfig();
    auto device = std::make_shared<sim::SimDevice>(config);
    simbus::plug(0, device);
    const bool updated = runUpdate(dfuPath);
    const std::vector<simbus::IoRecord> log = simbus::ioLog();
    simbus::reset();
    if (!updated || !checkDevice(*device, payload))
        return false;

    // Written beside the target and renamed over it, so that a failed run
    // never leaves half a header for the build to pick up.
    const std::string temporary = headerPath + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !writeHeader(out, config, payload, log)) {
            out.close();
            std::remove(temporary.c_str());
            return fail("cannot write " + temporary);
        }
    }
    if (std::rename(temporary.c_str(), headerPath.c_str()) != 0)
        return fail("cannot rename " + temporary + " to " + headerPath);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: record_session OUTPUT.h\n");
        return 2;
    }
    return record(argv[1]) ? 0 : 1;
}
