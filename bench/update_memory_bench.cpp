// update_memory_bench: the peak resident memory of `hiddfu update` on a
// large DFU file (default 64 MiB) against the file size.
//
// The update runs in a child process (this program started again with
// --update FILE), through the shipped front end, the update command and the
// upgrade library, against a DFU device of this file's own that keeps
// nothing it receives: so the child's peak memory is the host side's alone,
// and no kernel HID stack is needed. The parent makes the file (in 1 MiB
// pieces, so that it holds no copy either), reads the child's peak from
// wait4 and judges it against file size + 16 MiB. It prints PASS or FAIL
// and exits 0 either way; 1 only when the update itself fails.
//
// Linux only: posix_spawn, wait4 and its rusage, /proc/self/exe.
#include "kr_crc32.h"
#include "kr_endian.h"
#include "kr_frontend.h"

#include "dfu_protocol.h"
#include "hid_platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// ---- The device: one upgradable interface at index 0 that acknowledges
// every block at once and throws its bytes away.
namespace hidplatform {

namespace {

const Handle kDeviceHandle = 1000;
const uint16_t kVendorId = 0x1234;
const uint16_t kProductId = 0x5678;
// The request report: the 6-byte header and 4090 data bytes.
const uint16_t kRequestReportLength = 4096;

std::mutex g_mutex;
hiddfu::State g_state = hiddfu::State::kDfuIdle;

std::vector<uint8_t> statusReport()
{
    hiddfu::DeviceStatus status;
    status.state = g_state;
    return hiddfu::encodeStatus(status);
}

std::vector<uint8_t> functionalReport()
{
    hiddfu::FunctionalDescriptor functional;
    functional.attributes = hiddfu::kCanDownload | hiddfu::kManifestationTolerant;
    functional.detachTimeoutMs = 1000;
    functional.transferSize = kRequestReportLength - hiddfu::kRequestHeaderLength;
    functional.dfuVersion = 0x0110;
    return hiddfu::encodeFunctional(functional);
}

} // namespace

unsigned interfaceCount()
{
    return 1;
}

bool peekAttributes(unsigned index, uint16_t* vendorId, uint16_t* productId)
{
    *vendorId = kVendorId;
    *productId = kProductId;
    return index == 0;
}

std::string interfacePath(unsigned index)
{
    return index == 0 ? "bench-device" : "";
}

Handle openByIndex(unsigned index, Access, OpenFailure* why)
{
    if (why != nullptr)
        *why = index == 0 ? OpenFailure::kNone : OpenFailure::kNoInterface;
    return index == 0 ? kDeviceHandle : kInvalidHandle;
}

void close(Handle) {}

bool getAttributes(Handle handle, uint16_t* vendorId, uint16_t* productId)
{
    *vendorId = kVendorId;
    *productId = kProductId;
    return handle == kDeviceHandle;
}

bool getReportLengths(Handle handle, ReportLengths* lengths)
{
    lengths->feature = kRequestReportLength;
    return handle == kDeviceHandle;
}

bool getFeatureReports(Handle handle, std::vector<FeatureReport>* reports)
{
    *reports = {{hiddfu::kRequestReportId, kRequestReportLength},
                {hiddfu::kStatusReportId, hiddfu::kStatusReportLength},
                {hiddfu::kFunctionalReportId, hiddfu::kFunctionalReportLength}};
    return handle == kDeviceHandle;
}

IoResult writeReport(Handle, const uint8_t*, size_t, int, size_t*)
{
    return IoResult::kError;
}

IoResult readReport(Handle, uint8_t*, size_t, int, size_t*)
{
    return IoResult::kError;
}

// DNLOAD with data: the block is taken at once (dfuDNLOAD-IDLE); without
// data: manifested at once (dfuIDLE). ABORT and CLRSTATUS: dfuIDLE.
bool setFeature(Handle handle, const uint8_t* report, size_t length)
{
    if (handle != kDeviceHandle || length < hiddfu::kRequestHeaderLength ||
        report[0] != hiddfu::kRequestReportId)
        return false;
    const auto request = static_cast<hiddfu::Request>(report[1]);
    const uint16_t dataLength = kr_EndianReadLittleU16(report, 4);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (request == hiddfu::Request::kDnload)
        g_state = dataLength > 0 ? hiddfu::State::kDnloadIdle : hiddfu::State::kDfuIdle;
    else
        g_state = hiddfu::State::kDfuIdle;
    return true;
}

bool getFeature(Handle handle, uint8_t* report, size_t capacity, size_t* got)
{
    if (handle != kDeviceHandle)
        return false;
    std::vector<uint8_t> answer;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (report[0] == hiddfu::kStatusReportId)
            answer = statusReport();
        else if (report[0] == hiddfu::kFunctionalReportId)
            answer = functionalReport();
        else
            return false;
    }
    *got = std::min(capacity, answer.size());
    std::memcpy(report, answer.data(), *got);
    return true;
}

} // namespace hidplatform

// ---- The benchmark.
namespace {

const uint64_t kMiB = 1024 * 1024;
const uint64_t kAllowanceMiB = 16;

// A DFU file of `payloadBytes` bytes for 1234:5678, written piece by piece.
bool writeDfuFile(const std::string& path, uint64_t payloadBytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    std::vector<uint8_t> piece(kMiB);
    kr::CRC32 crc;
    bool written = true;
    for (uint64_t done = 0; done < payloadBytes && written;) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(piece.size(), payloadBytes - done));
        for (size_t i = 0; i < length; ++i)
            piece[i] = static_cast<uint8_t>((done + i) * 7);
        crc.update(piece.data(), static_cast<uint32_t>(length));
        written = std::fwrite(piece.data(), 1, length, file) == length;
        done += length;
    }
    uint8_t suffix[16] = {};
    kr_EndianWriteLittleU16(suffix, 0, 0xFFFF);
    kr_EndianWriteLittleU16(suffix, 2, 0x5678);
    kr_EndianWriteLittleU16(suffix, 4, 0x1234);
    kr_EndianWriteLittleU16(suffix, 6, 0x0100);
    std::memcpy(suffix + 8, "UFD", 3);
    suffix[11] = 16;
    crc.update(suffix, 12);
    kr_EndianWriteLittleU32(suffix, 12, crc.accumulator());
    written = written && std::fwrite(suffix, 1, sizeof suffix, file) == sizeof suffix;
    return std::fclose(file) == 0 && written;
}

// Runs this program with --update FILE, standard output to /dev/null; the
// child's exit status and peak resident memory in KiB.
bool runUpdate(const std::string& path, int* status, long* peakKiB)
{
    std::string self = "/proc/self/exe";
    std::string flag = "--update";
    std::string file = path;
    char* argv[] = {&self[0], &flag[0], &file[0], nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    struct rusage usage = {};
    int waitStatus = 0;
    if (wait4(pid, &waitStatus, 0, &usage) != pid)
        return false;
    *status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    *peakKiB = usage.ru_maxrss;
    return true;
}

int runChild(const char* path)
{
    std::string words[] = {"hiddfu", "update", "1234-5678-0000", path};
    char* argv[] = {&words[0][0], &words[1][0], &words[2][0], &words[3][0], nullptr};
    return kr::runCommandLine(4, argv);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--update") == 0)
        return runChild(argv[2]);
    const uint64_t sizeMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
    if (argc > 2 || sizeMiB == 0 || sizeMiB > 1023) {
        std::fprintf(stderr, "usage: update_memory_bench [MiB, 1 to 1023, default 64]\n");
        return 2;
    }
    char folder[] = "/tmp/update_memory_bench.XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("update_memory_bench: mkdtemp");
        return 1;
    }
    const std::string path = std::string(folder) + "/fw.dfu";
    int status = -1;
    long peakKiB = 0;
    const bool ran = writeDfuFile(path, sizeMiB * kMiB) && runUpdate(path, &status, &peakKiB);
    std::remove(path.c_str());
    rmdir(folder);
    if (!ran || status != 0) {
        std::fprintf(stderr, "update_memory_bench: the update failed (exit status %d)\n", status);
        return 1;
    }
    const double peakMiB = static_cast<double>(peakKiB) / 1024.0;
    const double limitMiB = static_cast<double>(sizeMiB + kAllowanceMiB);
    std::printf("update of a %llu MiB payload: peak resident memory %.1f MiB (file + %.1f MiB); "
                "target <= file + %llu MiB: %s\n",
                static_cast<unsigned long long>(sizeMiB), peakMiB, peakMiB - static_cast<double>(sizeMiB),
                static_cast<unsigned long long>(kAllowanceMiB), peakMiB <= limitMiB ? "PASS" : "FAIL");
    return 0;
}
