// e2e-hid-roundtrips: how many report round trips per second the HID path
// carries, through the same platform layer (hidraw on Linux) that the
// upgrade library uses. The benchmark compares the payload rate of an update
// against these figures, so that it shows how much of the path's capacity
// the update protocol turns into payload.
//
//   e2e-hid-roundtrips INDEX [MILLISECONDS]
//
// Talks to the HID interface at enumeration INDEX, which must speak the DFU
// protocol of docs/protocol.md and sit in dfuIDLE (a freshly started
// hiddfu-sim). Each measurement repeats one exchange for MILLISECONDS
// (default 2000) and prints one line:
//
//   roundtrip NAME COUNT MS PER_SECOND BYTES
//
// NAME is one of
//   get-state    get feature 0xD3 (GETSTATE: no side effect)
//   set-request  set feature 0xD0 carrying ABORT, in its full declared
//                length (ABORT in dfuIDLE leaves the device in dfuIDLE)
//   block-pair   set 0xD0 (ABORT, full length) then get 0xD1 (GETSTATUS):
//                the two transfers each downloaded block costs when the
//                device asks for no poll wait
//   output-input write the output report "version" and read its input
//                report reply (the path of hiddfu get)
// and BYTES is the report bytes moved per exchange (id bytes included).
// Also prints "report 0xD0 LENGTH" for the request report's declared length.
// Exit status 0 when every exchange worked, 1 otherwise.
#include "hid_platform.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

const uint8_t kRequestReport = 0xD0;
const uint8_t kStatusReport = 0xD1;
const uint8_t kStateReport = 0xD3;
const uint8_t kAbortRequest = 6;
const size_t kStatusLength = 7;
const size_t kStateLength = 2;
const uint8_t kControlReportId = 1;
const int kIoWaitMs = 1000;

using Clock = std::chrono::steady_clock;

// The declared length of the request report, id byte included; 0 when the
// interface does not declare it.
size_t requestReportLength(hidplatform::Handle handle)
{
    std::vector<hidplatform::FeatureReport> reports;
    if (!hidplatform::getFeatureReports(handle, &reports))
        return 0;
    for (const hidplatform::FeatureReport& report : reports) {
        if (report.id == kRequestReport)
            return report.length;
    }
    return 0;
}

bool getFeatureReport(hidplatform::Handle handle, uint8_t id, size_t length)
{
    std::vector<uint8_t> report(length, 0);
    report[0] = id;
    size_t got = 0;
    return hidplatform::getFeature(handle, report.data(), report.size(), &got) && got > 0;
}

// ABORT: bRequest 6, wValue 0, wLength 0, the data bytes zero.
bool setAbortRequest(hidplatform::Handle handle, size_t length)
{
    std::vector<uint8_t> report(length, 0);
    report[0] = kRequestReport;
    report[1] = kAbortRequest;
    return hidplatform::setFeature(handle, report.data(), report.size());
}

// One control request as hiddfu get makes it: report id 1, the text, zeros.
bool outputInputExchange(hidplatform::Handle handle, const hidplatform::ReportLengths& lengths)
{
    const std::string request = "version";
    std::vector<uint8_t> output(lengths.output, 0);
    output[0] = kControlReportId;
    for (size_t i = 0; i < request.size() && i + 1 < output.size(); ++i)
        output[i + 1] = static_cast<uint8_t>(request[i]);
    size_t written = 0;
    if (hidplatform::writeReport(handle, output.data(), output.size(), kIoWaitMs, &written) !=
        hidplatform::IoResult::kDone)
        return false;
    std::vector<uint8_t> input(lengths.input, 0);
    size_t got = 0;
    return hidplatform::readReport(handle, input.data(), input.size(), kIoWaitMs, &got) ==
           hidplatform::IoResult::kDone;
}

// Repeats `exchange` for about `durationMs` and prints its rate. False when
// an exchange failed.
bool measure(const char* name, size_t bytesPerExchange, long durationMs,
             const std::function<bool()>& exchange)
{
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::milliseconds(durationMs);
    unsigned long count = 0;
    Clock::time_point now = start;
    while (now < end) {
        if (!exchange()) {
            std::fprintf(stderr, "e2e-hid-roundtrips: %s failed after %lu exchanges\n", name, count);
            return false;
        }
        ++count;
        now = Clock::now();
    }
    const double elapsedMs = std::chrono::duration<double, std::milli>(now - start).count();
    std::printf("roundtrip %s %lu %.1f %.1f %zu\n", name, count, elapsedMs,
                count * 1000.0 / elapsedMs, bytesPerExchange);
    std::fflush(stdout);
    return true;
}

int run(unsigned index, long durationMs)
{
    // Closed when the measurement ends, on every path.
    const hidplatform::Device device(hidplatform::openByIndex(index));
    if (!device.valid()) {
        std::fprintf(stderr, "e2e-hid-roundtrips: no HID interface at index %u\n", index);
        return 1;
    }
    const hidplatform::Handle handle = device.get();
    const size_t requestLength = requestReportLength(handle);
    hidplatform::ReportLengths lengths;
    if (requestLength == 0 || !hidplatform::getReportLengths(handle, &lengths)) {
        std::fprintf(stderr, "e2e-hid-roundtrips: interface %u declares no report 0xD0\n", index);
        return 1;
    }
    std::printf("report 0xD0 %zu\n", requestLength);

    const bool allWorked =
        measure("get-state", kStateLength, durationMs,
                [&] { return getFeatureReport(handle, kStateReport, kStateLength); }) &&
        measure("set-request", requestLength, durationMs,
                [&] { return setAbortRequest(handle, requestLength); }) &&
        measure("block-pair", requestLength + kStatusLength, durationMs,
                [&] {
                    return setAbortRequest(handle, requestLength) &&
                           getFeatureReport(handle, kStatusReport, kStatusLength);
                }) &&
        measure("output-input", size_t{lengths.output} + lengths.input, durationMs,
                [&] { return outputInputExchange(handle, lengths); });
    return allWorked ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: e2e-hid-roundtrips INDEX [MILLISECONDS]\n");
        return 2;
    }
    const unsigned index = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    const long durationMs = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 2000;
    if (durationMs <= 0) {
        std::fprintf(stderr, "e2e-hid-roundtrips: MILLISECONDS must be positive\n");
        return 2;
    }
    return run(index, durationMs);
}
