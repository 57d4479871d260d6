// DFU images in memory, watched in process: this program is linked with
// realloc and free wrapped (-Wl,--wrap=realloc,--wrap=free), so the calls
// of the code under test go through the wrappers below. They can refuse
// requests from a set size on, as a system short of memory would, and they
// count the large blocks alive.
//
// A file that cannot be held is a file that cannot be loaded: dfufile
// reports it and goes on, update fails with its load text and touches no
// device. And update holds no image of its own while the library transfers
// the file.
#include "kr_dfufirmware.h"
#include "kr_frontend.h"
#include "kr_mvcommand.h"
#include "kr_progresstimer.h"

#include "scripted_library.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace {

// 0: no request fails.
std::atomic<size_t> g_failFromBytes{0};

// Blocks of at least this size are counted while alive.
const size_t kLargeBlock = 65536;
std::mutex g_largeMutex;
std::vector<void*> g_largeBlocks;

void forgetLarge(void* pointer)
{
    std::lock_guard<std::mutex> lock(g_largeMutex);
    g_largeBlocks.erase(std::remove(g_largeBlocks.begin(), g_largeBlocks.end(), pointer),
                        g_largeBlocks.end());
}

size_t largeBlocksAlive()
{
    std::lock_guard<std::mutex> lock(g_largeMutex);
    return g_largeBlocks.size();
}

} // namespace

extern "C" void* __real_realloc(void* pointer, size_t bytes);
extern "C" void __real_free(void* pointer);

extern "C" void* __wrap_realloc(void* pointer, size_t bytes)
{
    const size_t failFrom = g_failFromBytes.load();
    if (failFrom != 0 && bytes >= failFrom)
        return nullptr;
    void* moved = __real_realloc(pointer, bytes);
    if (moved != nullptr && pointer != nullptr)
        forgetLarge(pointer);
    if (moved != nullptr && bytes >= kLargeBlock) {
        std::lock_guard<std::mutex> lock(g_largeMutex);
        g_largeBlocks.push_back(moved);
    }
    return moved;
}

extern "C" void __wrap_free(void* pointer)
{
    if (pointer != nullptr)
        forgetLarge(pointer);
    __real_free(pointer);
}

namespace {

using testsupport::TempDir;

// Requests of `bytes` or more fail while the object lives.
class MemoryShortage {
public:
    explicit MemoryShortage(size_t bytes) { g_failFromBytes = bytes; }
    ~MemoryShortage() { g_failFromBytes = 0; }
};

class AllocationFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::DfuContents contents;
        contents.payload = testsupport::countingBytes(100000);
        testsupport::writeFile(path, testsupport::buildDfuFile(contents));
    }

    TempDir dir;
    const std::string path = dir.path("big.dfu");
};

TEST_F(AllocationFailure, ImageThatCannotBeHeldIsNotLoaded)
{
    kr::DfuFirmware firmware;
    {
        const MemoryShortage shortage(65536);
        EXPECT_FALSE(firmware.load(path.c_str(), false));
        EXPECT_EQ(firmware.size(), 0u);
        EXPECT_EQ(firmware.data(), nullptr);
        // The trailer alone still fits.
        EXPECT_TRUE(firmware.load(path.c_str(), true));
    }
    EXPECT_TRUE(firmware.load(path.c_str(), false)) << "the shortage is over";
    EXPECT_EQ(firmware.size(), 100000u);
}

// dfufile: the file is reported as invalid, the next one described, and the
// action succeeds as with any file that does not load. Both standard streams
// go to one file meanwhile.
TEST_F(AllocationFailure, DfufileReportsTheFileAndGoesOn)
{
    testsupport::DfuContents small;
    small.payload = testsupport::countingBytes(16);
    testsupport::writeFile(dir.path("small.dfu"), testsupport::buildDfuFile(small));
    std::string words[] = {"hiddfu", "dfufile", path, dir.path("small.dfu")};
    char* argv[] = {&words[0][0], &words[1][0], &words[2][0], &words[3][0], nullptr};

    const std::string logPath = dir.path("log.txt");
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(STDOUT_FILENO);
    const int savedErr = dup(STDERR_FILENO);
    FILE* log = std::fopen(logPath.c_str(), "wb");
    ASSERT_NE(log, nullptr);
    dup2(fileno(log), STDOUT_FILENO);
    dup2(fileno(log), STDERR_FILENO);
    std::fclose(log);
    int status = -99;
    {
        const MemoryShortage shortage(65536);
        status = kr::runCommandLine(4, argv);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);

    EXPECT_EQ(status, 0);
    const std::string logged = testsupport::readText(logPath);
    const std::string invalid = "Invalid DFU file " + path + "\n";
    EXPECT_EQ(logged.compare(0, invalid.size(), invalid), 0) << logged;
    EXPECT_NE(logged.find("Firmware object @ "), std::string::npos) << logged;
    EXPECT_NE(logged.find("  Firmware size:   16 bytes\n"), std::string::npos) << logged;
}

// update: "Unable to load firmware file", and the library is never called.
TEST_F(AllocationFailure, UpdateFailsAsForAFileThatDoesNotLoad)
{
    scripted::reset();
    kr::JSONTransfer document("", "transfer");
    const auto timer = kr::makeProgressTimer(std::chrono::milliseconds(2));
    bool succeeded = true;
    const std::string out = testsupport::captureOutput([&](FILE* stream) {
        const MemoryShortage shortage(65536);
        succeeded = kr::mv_CommandUpdate("1234-5678-0000", path.c_str(), document, *timer, stream);
    });
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(out, "{\"transfer\": {\"identifier\": \"1234-5678-0000\", \"progress\": 0.0, \"state\": -1, "
                   "\"error\": \"Unable to load firmware file\"}}\n");
    EXPECT_TRUE(scripted::calls().empty());
}

// While the library transfers the file, the command holds no image of it:
// the only copy in memory is the library's.
TEST_F(AllocationFailure, UpdateHoldsNoImageDuringTheTransfer)
{
    size_t aliveAtPoll = 99;
    scripted::Script script;
    script.onPoll = [&] { aliveAtPoll = largeBlocksAlive(); };
    scripted::reset(script);
    kr::JSONTransfer document("", "transfer");
    const auto timer = kr::makeProgressTimer(std::chrono::milliseconds(2));
    const size_t aliveBefore = largeBlocksAlive();
    bool succeeded = false;
    testsupport::captureOutput([&](FILE* stream) {
        succeeded = kr::mv_CommandUpdate("1234-5678-0000", path.c_str(), document, *timer, stream);
    });
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(aliveAtPoll, aliveBefore) << "the command's image is still held";
}

} // namespace
