// update_bench: blocks per second of an in-process update. The upgrade
// library (hiddfu::UpgradeLibrary over the HID platform layer) downloads a
// DFU file into a simulated device on the in-process bus, whose writes and
// manifestation finish at once (poll timeouts 0), so the figure is the cost
// of the protocol on both ends: report encoding, the device's state machine,
// the bus, the library's worker. Not a test: it prints figures.
//
// usage: update_bench [--payload BYTES] [--transfer-size N] [--runs N]
#include "kr_crc32.h"
#include "results.h"
#include "sim_bus.h"
#include "sim_device.h"
#include "upgrade_library.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const uint16_t kVid = 0x1234;
const uint16_t kPid = 0x5678;

struct Options {
    size_t payloadBytes = 4u << 20;
    uint16_t transferSize = 1024;
    int runs = 5;
};

void putLittle16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// payload | 16-byte suffix (ids of the simulated device) with its CRC.
std::vector<uint8_t> dfuFile(size_t payloadBytes)
{
    std::vector<uint8_t> file(payloadBytes);
    for (size_t i = 0; i < payloadBytes; ++i)
        file[i] = static_cast<uint8_t>(i * 31 + 7);
    putLittle16(file, 0x0100);  // bcdDevice
    putLittle16(file, kPid);
    putLittle16(file, kVid);
    putLittle16(file, 0x0100);  // bcdDFU
    file.insert(file.end(), {'U', 'F', 'D', 16});
    kr::CRC32 crc;
    crc.update(file.data(), file.size());
    for (int i = 0; i < 4; ++i)
        file.push_back(static_cast<uint8_t>(crc.accumulator() >> (8 * i)));
    return file;
}

bool parseOptions(int argc, char** argv, Options* options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const unsigned long value = std::strtoul(argv[i + 1], nullptr, 10);
        if (name == "--payload" && value > 0)
            options->payloadBytes = value;
        else if (name == "--transfer-size" && value > 0 && value <= 4090)
            options->transferSize = static_cast<uint16_t>(value);
        else if (name == "--runs" && value > 0 && value <= 1000)
            options->runs = static_cast<int>(value);
        else
            return false;
    }
    return argc % 2 == 1;
}

struct Timing {
    double seconds = -1;     // wall clock; negative when the update failed
    double cpuSeconds = 0;   // processor time of the whole process (all threads)
};

// One update from the start of the download to its end.
Timing timedUpdate(const Options& options, const std::string& path,
                   const std::vector<uint8_t>& payload)
{
    Timing timing;
    simbus::reset();
    sim::DeviceConfig config;
    config.vendorId = kVid;
    config.productId = kPid;
    config.dfu.transferSize = options.transferSize;
    config.dfu.pollTimeoutMs = 0;
    config.dfu.manifestTimeoutMs = 0;
    auto device = std::make_shared<sim::SimDevice>(config);
    simbus::plug(0, device);

    hiddfu::UpgradeLibrary library;
    uint16_t count = 0;
    if (library.connect(kVid, kPid, 0, 0, &count) != 0)
        return timing;
    const auto start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    if (library.upgrade(path.c_str(), 1) != 0)
        return timing;
    while (library.result() == hiddfu::result::kUpgradeRunning)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const int32_t outcome = library.result();
    library.disconnect();
    if (outcome != 0 || device->dfuSnapshot().flash() != payload)
        return timing;
    timing.seconds = seconds;
    timing.cpuSeconds = cpuSeconds;
    return timing;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: %s [--payload BYTES] [--transfer-size N] [--runs N]\n", argv[0]);
        return 2;
    }
    const std::vector<uint8_t> file = dfuFile(options.payloadBytes);
    const std::vector<uint8_t> payload(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(options.payloadBytes));
    char pathTemplate[] = "/tmp/update_bench.XXXXXX";
    const int fd = mkstemp(pathTemplate);
    if (fd < 0) {
        std::perror("update_bench: temporary file");
        return 1;
    }
    close(fd);
    const std::string path = pathTemplate;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }

    const size_t blocks = (options.payloadBytes + options.transferSize - 1) / options.transferSize;
    std::vector<double> rates;
    std::vector<double> cpuPerBlock;
    for (int run = 0; run < options.runs; ++run) {
        const Timing timing = timedUpdate(options, path, payload);
        if (timing.seconds < 0) {
            std::fprintf(stderr, "update_bench: the update failed\n");
            std::remove(path.c_str());
            return 1;
        }
        rates.push_back(static_cast<double>(blocks) / timing.seconds);
        cpuPerBlock.push_back(timing.cpuSeconds * 1e6 / static_cast<double>(blocks));
    }
    std::remove(path.c_str());
    std::sort(rates.begin(), rates.end());
    std::sort(cpuPerBlock.begin(), cpuPerBlock.end());
    // The processor time per block is the steadier figure on a busy machine.
    std::printf("update_bench: %zu bytes in %zu blocks of %u, %d runs: median %.0f blocks/s "
                "(min %.0f, max %.0f), %.1f MiB/s; median %.2f us processor time per block\n",
                options.payloadBytes, blocks, unsigned{options.transferSize}, options.runs,
                rates[rates.size() / 2], rates.front(), rates.back(),
                rates[rates.size() / 2] * options.transferSize / (1024.0 * 1024.0),
                cpuPerBlock[cpuPerBlock.size() / 2]);
    return 0;
}
