// dfufile_bench: how `hiddfu dfufile` fares on a large DFU file.
//
//   * wall time of `hiddfu dfufile FILE` against the read floor (a fresh
//     process that only reads the file into one malloc'd buffer with one
//     fread) and against `dfu-suffix --check FILE`, the runs interleaved so
//     that machine noise hits all alike. A second floor also reads one byte
//     of every page after the fread: where first touching a page from user
//     space is costly (some virtual machines), any program that looks at the
//     bytes pays that, and this floor shows how much it is;
//   * the suffix checksum alone: kr::CRC32's bulk update against its
//     byte-at-a-time table loop, on one in-memory buffer;
//   * the peak resident memory of `hiddfu dfufile FILE` against the file size.
//
// It prints PASS or FAIL for each target but exits 0 either way: small sizes
// are for smoke tests. It exits 1 only on a real error (a tool that cannot
// run or fails, checksums that disagree) and 2 on a wrong command line.
//
// Linux only: posix_spawn, wait4 and its rusage, /proc/self/exe.
#include "kr_crc32.h"
#include "kr_endian.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef HIDDFU_EXE
#define HIDDFU_EXE "hiddfu"
#endif

extern char** environ;

namespace {

const uint64_t kMiB = 1024 * 1024;
const uint64_t kMaxSizeMiB = 1024; // the largest DFU file that loads is 1 GiB
const uint32_t kSuffixLength = 16;

// The targets the figures are judged against.
const double kMaxSlowdownOverReadFloor = 1.25;
const double kMinSpeedupOverDfuSuffix = 5.0;
const double kMinChecksumGBps = 5.0;
const uint64_t kMaxMemoryOverFileMiB = 64;

const char* const kUsage =
    "usage: dfufile_bench [SIZE_MIB] [options]\n"
    "       dfufile_bench --read-floor FILE\n"
    "       dfufile_bench --read-touch-floor FILE\n"
    "\n"
    "Makes a DFU file of SIZE_MIB MiB (1 to 1024, default 1024) in a fresh\n"
    "temporary folder and compares `hiddfu dfufile` with the read floor and\n"
    "`dfu-suffix --check`; times the checksum; measures hiddfu's peak memory.\n"
    "\n"
    "options:\n"
    "  --runs N            timed runs of each program (default 5)\n"
    "  --hiddfu PATH       the hiddfu program (default: the one built with this)\n"
    "  --dfu-suffix PATH   dfu-suffix from dfu-util (default: found on PATH)\n"
    "  --skip-dfu-suffix   leave dfu-suffix out\n"
    "  --crc-mib M         checksum buffer size in MiB (default: SIZE_MIB, at most 256)\n"
    "  --read-floor FILE   only read FILE into one buffer with one fread (the floor)\n"
    "  --read-touch-floor FILE\n"
    "                      the same, then read one byte of every page of the buffer\n"
    "\n"
    "Exit status: 0 when every measurement ran (whether or not targets are\n"
    "met), 1 on an error, 2 for a wrong command line.\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct BenchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// ---------------------------------------------------------------------------
// The temporary folder. Its files are removed on every way out: normal
// return, exception, and SIGINT/SIGTERM/SIGHUP (through a handler that only
// calls unlink and rmdir, both async-signal-safe).

const int kMaxTempFiles = 4;

struct CleanupPaths {
    char dir[PATH_MAX];
    char files[kMaxTempFiles][PATH_MAX];
    int fileCount;
};

CleanupPaths g_cleanup;
volatile sig_atomic_t g_cleanupArmed = 0;

void removeTempPaths()
{
    for (int i = 0; i < g_cleanup.fileCount; ++i)
        unlink(g_cleanup.files[i]);
    rmdir(g_cleanup.dir);
}

extern "C" void cleanupOnSignal(int sig)
{
    if (g_cleanupArmed)
        removeTempPaths();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

class TempDir {
public:
    TempDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/dfufile_bench.XXXXXX";
        if (pattern.size() >= PATH_MAX - 32)
            throw BenchError("temporary folder name too long: " + pattern);
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr)
            throw BenchError(systemError("cannot make a folder from " + pattern));
        m_dir = name.data();
        std::snprintf(g_cleanup.dir, sizeof g_cleanup.dir, "%s", m_dir.c_str());
        g_cleanup.fileCount = 0;
        g_cleanupArmed = 1;
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            std::signal(sig, cleanupOnSignal);
    }

    ~TempDir()
    {
        removeTempPaths();
        g_cleanupArmed = 0;
    }

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The path of a file in the folder, to be removed with it.
    std::string file(const char* name)
    {
        if (g_cleanup.fileCount >= kMaxTempFiles)
            throw std::logic_error("too many temporary files");
        std::string path = m_dir + "/" + name;
        std::snprintf(g_cleanup.files[g_cleanup.fileCount], PATH_MAX, "%s", path.c_str());
        ++g_cleanup.fileCount;
        return path;
    }

private:
    std::string m_dir;
};

// ---------------------------------------------------------------------------
// Small helpers.

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

UniqueFile openFile(const std::string& path, const char* mode)
{
    UniqueFile file(std::fopen(path.c_str(), mode));
    if (!file)
        throw BenchError(systemError("cannot open " + path));
    return file;
}

double secondsNow()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double minimum(const std::vector<double>& values)
{
    return *std::min_element(values.begin(), values.end());
}

double maximum(const std::vector<double>& values)
{
    return *std::max_element(values.begin(), values.end());
}

// Incompressible, reproducible bytes (xorshift64), so that no layer can take
// a shortcut on repetitive data.
class ByteStream {
public:
    void fill(uint8_t* out, size_t size)
    {
        for (size_t i = 0; i < size; ++i) {
            if (m_left == 0) {
                m_state ^= m_state << 13;
                m_state ^= m_state >> 7;
                m_state ^= m_state << 17;
                m_word = m_state;
                m_left = 8;
            }
            out[i] = static_cast<uint8_t>(m_word);
            m_word >>= 8;
            --m_left;
        }
    }

private:
    uint64_t m_state = 0x9E3779B97F4A7C15ull;
    uint64_t m_word = 0;
    int m_left = 0;
};

std::string selfPath()
{
    std::array<char, PATH_MAX> buffer{};
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        throw BenchError(systemError("cannot find this program's path"));
    return std::string(buffer.data(), static_cast<size_t>(n));
}

// ---------------------------------------------------------------------------
// Child processes.

struct ChildRun {
    double seconds;
    long maxRssKiB;
};

class SpawnFileActions {
public:
    SpawnFileActions() { posix_spawn_file_actions_init(&m_actions); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&m_actions); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    void redirect(int fd, const std::string& path)
    {
        int rc = posix_spawn_file_actions_addopen(&m_actions, fd, path.c_str(),
                                                  O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (rc != 0)
            throw BenchError("cannot prepare the redirection to " + path + ": " + std::strerror(rc));
    }
    const posix_spawn_file_actions_t* get() const { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

std::string commandText(const std::vector<std::string>& argv)
{
    std::string text;
    for (const std::string& arg : argv)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

// Runs argv[0] (looked up on PATH when it has no '/') with stdout, and stderr
// when a path is given, sent to files; the wall time covers spawn to reap.
// A child that cannot start or does not exit with status 0 is an error.
ChildRun runChild(const std::vector<std::string>& argv, const std::string& stdoutPath,
                  const std::string& stderrPath = std::string())
{
    SpawnFileActions actions;
    actions.redirect(STDOUT_FILENO, stdoutPath);
    if (!stderrPath.empty())
        actions.redirect(STDERR_FILENO, stderrPath);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    double start = secondsNow();
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
    if (rc != 0)
        throw BenchError("cannot run " + argv[0] + ": " + std::strerror(rc));
    int status = 0;
    rusage usage{};
    pid_t reaped;
    do {
        reaped = wait4(pid, &status, 0, &usage);
    } while (reaped < 0 && errno == EINTR);
    double seconds = secondsNow() - start;
    if (reaped < 0)
        throw BenchError(systemError("cannot wait for " + argv[0]));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status));
        throw BenchError("`" + commandText(argv) + "` failed with " + how);
    }
    return ChildRun{seconds, usage.ru_maxrss};
}

std::string readSmallTextFile(const std::string& path)
{
    UniqueFile file = openFile(path, "rb");
    std::string text;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
        text.append(buffer.data(), n);
    return text;
}

// ---------------------------------------------------------------------------
// The read floor: what any program that reads the whole file into memory pays.

int readFloor(const char* path, bool touchPages)
{
    UniqueFile file(std::fopen(path, "rb"));
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) {
        std::perror(path);
        return 1;
    }
    long size = std::ftell(file.get());
    if (size <= 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        std::fprintf(stderr, "%s: cannot find the file size\n", path);
        return 1;
    }
    std::unique_ptr<void, decltype(&std::free)> buffer(std::malloc(static_cast<size_t>(size)),
                                                       &std::free);
    if (!buffer) {
        std::fprintf(stderr, "%s: cannot allocate %ld bytes\n", path, size);
        return 1;
    }
    size_t got = std::fread(buffer.get(), 1, static_cast<size_t>(size), file.get());
    if (got != static_cast<size_t>(size)) {
        std::fprintf(stderr, "%s: short read (%zu of %ld bytes)\n", path, got, size);
        return 1;
    }
    if (touchPages) {
        const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        // Volatile reads: the compiler may not drop them, though nothing uses them.
        const volatile uint8_t* bytes = static_cast<const uint8_t*>(buffer.get());
        for (size_t i = 0; i < got; i += pageSize)
            (void)bytes[i];
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The benchmark file: pseudo-random payload written in chunks, its CRC taken
// on the way, then the 16-byte suffix. One chunk in memory, never the file.

const uint16_t kBenchVendor = 0x1234;
const uint16_t kBenchProduct = 0x5678;

void writeBenchFile(const std::string& path, uint64_t fileSize)
{
    UniqueFile file = openFile(path, "wb");
    const uint64_t payloadSize = fileSize - kSuffixLength;
    std::vector<uint8_t> chunk(4 * kMiB);
    ByteStream bytes;
    kr::CRC32 crc;
    for (uint64_t written = 0; written < payloadSize;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), payloadSize - written));
        bytes.fill(chunk.data(), n);
        crc.update(chunk.data(), n);
        if (std::fwrite(chunk.data(), 1, n, file.get()) != n)
            throw BenchError(systemError("cannot write " + path));
        written += n;
    }
    uint8_t suffix[kSuffixLength] = {};
    kr_EndianWriteLittleU16(suffix, 0, 0x0100); // bcdDevice
    kr_EndianWriteLittleU16(suffix, 2, kBenchProduct);
    kr_EndianWriteLittleU16(suffix, 4, kBenchVendor);
    kr_EndianWriteLittleU16(suffix, 6, 0x0100); // bcdDFU
    suffix[8] = 'U';
    suffix[9] = 'F';
    suffix[10] = 'D';
    suffix[11] = kSuffixLength; // bLength: no aux data
    for (int i = 0; i < 12; ++i)
        crc.update(suffix[i]);
    kr_EndianWriteLittleU32(suffix, 12, crc.accumulator());
    if (std::fwrite(suffix, 1, sizeof suffix, file.get()) != sizeof suffix ||
        std::fflush(file.get()) != 0)
        throw BenchError(systemError("cannot write " + path));
    // On disk now, so that write-back does not run during the timed runs.
    if (fsync(fileno(file.get())) != 0)
        throw BenchError(systemError("cannot sync " + path));
    FILE* raw = file.release();
    if (std::fclose(raw) != 0)
        throw BenchError(systemError("cannot close " + path));
}

// Reads the file once so that every timed run finds it in the page cache.
void warmPageCache(const std::string& path)
{
    UniqueFile file = openFile(path, "rb");
    std::vector<uint8_t> chunk(4 * kMiB);
    while (std::fread(chunk.data(), 1, chunk.size(), file.get()) == chunk.size()) {
    }
    if (std::ferror(file.get()))
        throw BenchError(systemError("cannot read " + path));
}

// ---------------------------------------------------------------------------
// Settings.

struct Settings {
    uint64_t sizeMiB = kMaxSizeMiB;
    int runs = 5;
    std::string hiddfu = HIDDFU_EXE;
    std::string dfuSuffix = "dfu-suffix";
    bool withDfuSuffix = true;
    uint64_t crcMiB = 0; // 0: from sizeMiB
    std::string readFloorFile; // non-empty: read-floor mode
    bool touchPages = false;   // in read-floor mode: read a byte of every page
};

uint64_t parseCount(const std::string& what, const std::string& text, uint64_t lo, uint64_t hi)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value < lo || value > hi)
        throw UsageError(what + " must be a whole number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ", not '" + text + "'");
    return value;
}

// Returns false when the usage text was asked for.
bool parseArguments(int argc, char** argv, Settings& settings)
{
    bool sizeGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw UsageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help")
            return false;
        else if (arg == "--runs")
            settings.runs = static_cast<int>(parseCount("--runs", value(), 1, 1000));
        else if (arg == "--hiddfu")
            settings.hiddfu = value();
        else if (arg == "--dfu-suffix")
            settings.dfuSuffix = value();
        else if (arg == "--skip-dfu-suffix")
            settings.withDfuSuffix = false;
        else if (arg == "--crc-mib")
            settings.crcMiB = parseCount("--crc-mib", value(), 1, 4096);
        else if (arg == "--read-floor")
            settings.readFloorFile = value();
        else if (arg == "--read-touch-floor") {
            settings.readFloorFile = value();
            settings.touchPages = true;
        }
        else if (!arg.empty() && arg[0] == '-')
            throw UsageError("unknown option " + arg);
        else if (sizeGiven)
            throw UsageError("only one size may be given");
        else {
            settings.sizeMiB = parseCount("the size in MiB", arg, 1, kMaxSizeMiB);
            sizeGiven = true;
        }
    }
    if (settings.crcMiB == 0)
        settings.crcMiB = std::min<uint64_t>(settings.sizeMiB, 256);
    return true;
}

// ---------------------------------------------------------------------------
// The measurements.

struct ProgramTimes {
    std::vector<double> hiddfu, dfuSuffix, readFloor, readTouchFloor;
    long hiddfuPeakKiB = 0;
    long readFloorPeakKiB = 0;
};

struct Commands {
    std::vector<std::string> hiddfu, dfuSuffix, readFloor, readTouchFloor;
};

// One untimed round: checks that each program accepts the file (hiddfu says
// "Invalid DFU file" with exit status 0, so its output is read) and warms up.
void checkProgramsAccept(const Settings& settings, const Commands& commands,
                         const std::string& describePath, const std::string& errorPath,
                         uint64_t payloadSize)
{
    runChild(commands.hiddfu, describePath, errorPath);
    std::string described = readSmallTextFile(describePath);
    std::string errors = readSmallTextFile(errorPath);
    std::string expected = "  Firmware size:   " + std::to_string(payloadSize) + " bytes\n";
    if (!errors.empty() || described.find(expected) == std::string::npos)
        throw BenchError("`" + commandText(commands.hiddfu) + "` did not describe the file;" +
                         " it printed:\n" + described + errors);
    if (settings.withDfuSuffix)
        runChild(commands.dfuSuffix, "/dev/null");
    runChild(commands.readFloor, "/dev/null");
    runChild(commands.readTouchFloor, "/dev/null");
}

ProgramTimes timePrograms(const Settings& settings, const Commands& commands)
{
    ProgramTimes times;
    for (int run = 0; run < settings.runs; ++run) {
        ChildRun hiddfu = runChild(commands.hiddfu, "/dev/null");
        times.hiddfu.push_back(hiddfu.seconds);
        times.hiddfuPeakKiB = std::max(times.hiddfuPeakKiB, hiddfu.maxRssKiB);
        if (settings.withDfuSuffix)
            times.dfuSuffix.push_back(runChild(commands.dfuSuffix, "/dev/null").seconds);
        ChildRun floor = runChild(commands.readFloor, "/dev/null");
        times.readFloor.push_back(floor.seconds);
        times.readFloorPeakKiB = std::max(times.readFloorPeakKiB, floor.maxRssKiB);
        times.readTouchFloor.push_back(runChild(commands.readTouchFloor, "/dev/null").seconds);
    }
    return times;
}

struct ChecksumTimes {
    std::vector<double> bulk, byteByByte;
    uint32_t accumulator = 0;
};

uint32_t bulkChecksum(const std::vector<uint8_t>& buffer)
{
    kr::CRC32 crc;
    crc.update(buffer.data(), buffer.size());
    return crc.accumulator();
}

uint32_t byteByByteChecksum(const std::vector<uint8_t>& buffer)
{
    kr::CRC32 crc;
    for (uint8_t byte : buffer)
        crc.update(byte);
    return crc.accumulator();
}

// Both ways of the checksum must give the catalogue's check value for
// "123456789" before their speed means anything.
void checkChecksumAgainstCheckValue()
{
    const std::string digits = "123456789";
    const uint32_t expected = 0x340BC6D9u;
    std::vector<uint8_t> bytes(digits.begin(), digits.end());
    uint32_t bulk = bulkChecksum(bytes);
    uint32_t single = byteByByteChecksum(bytes);
    if (bulk != expected || single != expected) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "checksum of \"123456789\": bulk 0x%08x, byte-by-byte 0x%08x, expected 0x%08x",
                      bulk, single, expected);
        throw BenchError(text);
    }
}

ChecksumTimes timeChecksum(const Settings& settings)
{
    checkChecksumAgainstCheckValue();
    std::vector<uint8_t> buffer(settings.crcMiB * kMiB);
    ByteStream bytes;
    bytes.fill(buffer.data(), buffer.size());
    ChecksumTimes times;
    for (int run = 0; run < settings.runs; ++run) {
        double start = secondsNow();
        uint32_t bulk = bulkChecksum(buffer);
        double middle = secondsNow();
        uint32_t single = byteByByteChecksum(buffer);
        double end = secondsNow();
        if (bulk != single) {
            char text[128];
            std::snprintf(text, sizeof text,
                          "checksums disagree: bulk 0x%08x, byte-by-byte 0x%08x", bulk, single);
            throw BenchError(text);
        }
        times.bulk.push_back(middle - start);
        times.byteByByte.push_back(end - middle);
        times.accumulator = bulk;
    }
    return times;
}

// ---------------------------------------------------------------------------
// The report.

void printTimeRow(const char* name, const std::vector<double>& seconds, double floorMedian)
{
    std::printf("  %-22s %9.3f %9.3f %9.3f %9.2fx\n", name, median(seconds), minimum(seconds),
                maximum(seconds), median(seconds) / floorMedian);
}

bool printTarget(bool pass, const char* text)
{
    std::printf("  %s  %s\n", pass ? "PASS" : "FAIL", text);
    return pass;
}

void printReport(const Settings& settings, uint64_t fileSize, const ProgramTimes& programs,
                 const ChecksumTimes& checksum)
{
    const double floorMedian = median(programs.readFloor);
    const double hiddfuMedian = median(programs.hiddfu);
    std::printf("\nwall time in seconds, %d interleaved runs each, file in the page cache\n",
                settings.runs);
    std::printf("  %-22s %9s %9s %9s %10s\n", "program", "median", "min", "max", "/floor");
    printTimeRow("read floor (1 fread)", programs.readFloor, floorMedian);
    printTimeRow("read + touch each page", programs.readTouchFloor, floorMedian);
    printTimeRow("hiddfu dfufile", programs.hiddfu, floorMedian);
    if (settings.withDfuSuffix)
        printTimeRow("dfu-suffix --check", programs.dfuSuffix, floorMedian);

    const double crcBytes = static_cast<double>(settings.crcMiB * kMiB);
    const double bulkGBps = crcBytes / median(checksum.bulk) / 1e9;
    const double byteGBps = crcBytes / median(checksum.byteByByte) / 1e9;
    std::printf("\nchecksum over %llu MiB in memory, median of %d runs\n",
                static_cast<unsigned long long>(settings.crcMiB), settings.runs);
    std::printf("  kr::CRC32 bulk update    %8.2f GB/s  (%.3f s)\n", bulkGBps,
                median(checksum.bulk));
    std::printf("  kr::CRC32 byte by byte   %8.2f GB/s  (%.3f s)\n", byteGBps,
                median(checksum.byteByByte));
    std::printf("  bulk / byte by byte      %8.1fx; both end at 0x%08x\n", bulkGBps / byteGBps,
                checksum.accumulator);

    const double fileMiB = static_cast<double>(fileSize) / kMiB;
    const double peakMiB = static_cast<double>(programs.hiddfuPeakKiB) / 1024.0;
    const double floorPeakMiB = static_cast<double>(programs.readFloorPeakKiB) / 1024.0;
    std::printf("\npeak resident memory (largest of %d runs)\n", settings.runs);
    std::printf("  file size                %9.1f MiB\n", fileMiB);
    std::printf("  hiddfu dfufile           %9.1f MiB  (peak - size = %+.1f MiB)\n", peakMiB,
                peakMiB - fileMiB);
    std::printf("  read floor               %9.1f MiB  (peak - size = %+.1f MiB)\n", floorPeakMiB,
                floorPeakMiB - fileMiB);

    char text[160];
    std::printf("\ntargets\n");
    const double slowdown = hiddfuMedian / floorMedian;
    std::snprintf(text, sizeof text, "hiddfu dfufile <= %.2fx read floor: %.2fx",
                  kMaxSlowdownOverReadFloor, slowdown);
    printTarget(slowdown <= kMaxSlowdownOverReadFloor, text);
    std::printf("  info  hiddfu dfufile / (read + touch each page): %.2fx\n",
                hiddfuMedian / median(programs.readTouchFloor));
    if (settings.withDfuSuffix) {
        const double speedup = median(programs.dfuSuffix) / hiddfuMedian;
        std::snprintf(text, sizeof text, "hiddfu dfufile >= %.0fx faster than dfu-suffix --check: %.1fx",
                      kMinSpeedupOverDfuSuffix, speedup);
        printTarget(speedup >= kMinSpeedupOverDfuSuffix, text);
    } else {
        std::printf("  SKIP  hiddfu dfufile >= %.0fx faster than dfu-suffix --check\n",
                    kMinSpeedupOverDfuSuffix);
    }
    std::snprintf(text, sizeof text, "checksum >= %.0f GB/s: %.2f GB/s", kMinChecksumGBps, bulkGBps);
    printTarget(bulkGBps >= kMinChecksumGBps, text);
    std::snprintf(text, sizeof text, "peak memory <= size + %llu MiB: size %+.1f MiB",
                  static_cast<unsigned long long>(kMaxMemoryOverFileMiB), peakMiB - fileMiB);
    printTarget(peakMiB - fileMiB <= static_cast<double>(kMaxMemoryOverFileMiB), text);
}

int runBenchmark(const Settings& settings)
{
    const uint64_t fileSize = settings.sizeMiB * kMiB;
    TempDir dir;
    const std::string dfuPath = dir.file("bench.dfu");
    const std::string describePath = dir.file("describe.txt");
    const std::string errorPath = dir.file("describe.err");

    std::printf("dfufile_bench: %llu MiB DFU file (%llu bytes), %d runs\n",
                static_cast<unsigned long long>(settings.sizeMiB),
                static_cast<unsigned long long>(fileSize), settings.runs);
    std::printf("  hiddfu:     %s\n", settings.hiddfu.c_str());
    std::printf("  dfu-suffix: %s\n", settings.withDfuSuffix ? settings.dfuSuffix.c_str() : "(skipped)");
    std::printf("  file:       %s\n", dfuPath.c_str());
    std::fflush(stdout);

    writeBenchFile(dfuPath, fileSize);
    warmPageCache(dfuPath);
    Commands commands;
    commands.hiddfu = {settings.hiddfu, "dfufile", dfuPath};
    commands.dfuSuffix = {settings.dfuSuffix, "--check", dfuPath};
    commands.readFloor = {selfPath(), "--read-floor", dfuPath};
    commands.readTouchFloor = {selfPath(), "--read-touch-floor", dfuPath};
    checkProgramsAccept(settings, commands, describePath, errorPath, fileSize - kSuffixLength);

    ProgramTimes programs = timePrograms(settings, commands);
    ChecksumTimes checksum = timeChecksum(settings);
    printReport(settings, fileSize, programs, checksum);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        Settings settings;
        if (!parseArguments(argc, argv, settings)) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!settings.readFloorFile.empty())
            return readFloor(settings.readFloorFile.c_str(), settings.touchPages);
        return runBenchmark(settings);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "dfufile_bench: %s\n(dfufile_bench --help shows the usage)\n",
                     error.what());
        return 2;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "dfufile_bench: error: %s\n", error.what());
        return 1;
    }
}
