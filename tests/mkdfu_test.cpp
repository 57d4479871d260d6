// mkdfu run as a separate process: the ids it insists on, and that it never
// removes or damages an output it did not make.
#include "kr_dfufirmware.h"
#include "process_runner.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>
#endif

namespace {

using testsupport::Bytes;
using testsupport::ProcessResult;
using testsupport::TempDir;

const std::string kMkdfu = HIDDFU_MKDFU_EXE;

ProcessResult mkdfu(const std::vector<std::string>& args)
{
    return testsupport::runProcess(kMkdfu, args);
}

class Mkdfu : public ::testing::Test {
protected:
    void SetUp() override { testsupport::writeFile(input, testsupport::countingBytes(5000)); }

    TempDir dir;
    const std::string input = dir.path("fw.bin");
    const std::string output = dir.path("fw.dfu");
};

// Without both ids a file would be for vendor and product ffff, which fits
// no real device: refused unless --any-device asks for it.
TEST_F(Mkdfu, IdsAreRequiredUnlessAnyDeviceIsAsked)
{
    struct Case {
        std::vector<std::string> options;
        int exitCode;  // 2: usage error
        uint16_t vendor;
        uint16_t product;
    };
    const Case cases[] = {
        {{}, 2, 0, 0},
        {{"-v", "1234"}, 2, 0, 0},
        {{"-p", "5678"}, 2, 0, 0},
        {{"-v", "1234", "-p", "5678"}, 0, 0x1234, 0x5678},
        {{"--any-device"}, 0, 0xffff, 0xffff},
        {{"--any-device", "-v", "1234"}, 0, 0x1234, 0xffff},
    };
    for (const Case& c : cases) {
        std::string label;
        for (const std::string& option : c.options)
            label += option + " ";
        std::vector<std::string> args = c.options;
        args.push_back(input);
        args.push_back(output);
        const ProcessResult r = mkdfu(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << label << r.err;
        kr::DfuFirmware written;
        if (c.exitCode != 0) {
            EXPECT_NE(r.err.find("-v VID -p PID"), std::string::npos) << label << r.err;
            EXPECT_FALSE(written.load(output.c_str(), false)) << label << "no file is made";
            continue;
        }
        ASSERT_TRUE(written.load(output.c_str(), false)) << label;
        EXPECT_EQ(written.idVendor(), c.vendor) << label;
        EXPECT_EQ(written.idProduct(), c.product) << label;
        EXPECT_EQ(written.size(), 5000u) << label;
    }
    const ProcessResult help = mkdfu({"--help"});
    EXPECT_NE(help.out.find("hiddfu update accepts a file only for a device"), std::string::npos);
}

// An output that is not a regular file is written to directly and survives a
// failure; no temporary file is left beside it.
TEST_F(Mkdfu, OutputThatIsNotARegularFileIsNeverRemoved)
{
    const std::string folder = dir.path("folder");
#ifdef _WIN32
    ASSERT_EQ(_mkdir(folder.c_str()), 0);
#else
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
#endif
    const ProcessResult r = mkdfu({"--any-device", input, folder});
    EXPECT_EQ(r.exitCode, 1);
    struct stat info;
    ASSERT_EQ(stat(folder.c_str(), &info), 0) << "the folder was removed";
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

#ifndef _WIN32
// A FIFO gets the file through itself and is still there afterwards.
TEST_F(Mkdfu, FifoIsWrittenDirectly)
{
    const std::string fifo = dir.path("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes received;
    std::thread reader([&] { received = testsupport::readFile(fifo); });
    const ProcessResult r = mkdfu({"-v", "1234", "-p", "5678", input, fifo});
    // Should mkdfu not have opened the FIFO, this ends the reader's wait.
    const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0)
        close(unblock);
    reader.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(received.size(), 5000u + 16u);
    struct stat info;
    ASSERT_EQ(stat(fifo.c_str(), &info), 0) << "the FIFO was removed";
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// A write that fails part way (the file size limit, which the child
// inherits, with SIGXFSZ ignored) leaves an existing file exactly as it was
// and no temporary file beside it; a successful run replaces it.
TEST_F(Mkdfu, FailedWriteKeepsTheOldFile)
{
    const Bytes old = testsupport::countingBytes(100, 7);
    testsupport::writeFile(output, old);
    testsupport::writeFile(input, testsupport::countingBytes(200000));

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 65536;
    void (*savedHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const ProcessResult failed = mkdfu({"-v", "1234", "-p", "5678", input, output});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);

    EXPECT_EQ(failed.exitCode, 1) << failed.err;
    EXPECT_EQ(testsupport::readFile(output), old);
    for (const auto& entry : std::filesystem::directory_iterator(dir.dir()))
        EXPECT_EQ(entry.path().filename().string().find("mkdfu"), std::string::npos)
            << "left behind: " << entry.path();

    const ProcessResult replaced = mkdfu({"-v", "1234", "-p", "5678", input, output});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(testsupport::readFile(output).size(), 200000u + 16u);
}
#endif

} // namespace
