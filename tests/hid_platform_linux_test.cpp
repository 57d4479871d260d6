// The hidraw backend's waiting and error paths. This machine has no HID
// devices, so the report transfers run on pipes, which poll(), read() and
// write() treat the way they treat a hidraw node (opened non-blocking, as the
// backend opens nodes): time-outs, interrupted waits, data arriving later,
// hang-ups. The ioctls are refused on a pipe, which exercises their failure
// paths. The real node is exercised by the end-to-end tests in a VM.
#include "hid_platform.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

using hidplatform::Handle;
using hidplatform::IoResult;
using hidplatform::kInvalidHandle;
using hidplatform::kWaitForever;

namespace {

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class Pipe {
public:
    Pipe()
    {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            m_read = fds[0];
            m_write = fds[1];
        }
    }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    bool valid() const { return m_read >= 0; }
    Handle readHandle() const { return m_read; }
    Handle writeHandle() const { return m_write; }
    void closeRead() { closeFd(&m_read); }
    void closeWrite() { closeFd(&m_write); }

    // Writes until the pipe is full.
    void fill()
    {
        const uint8_t block[4096] = {};
        while (write(m_write, block, sizeof(block)) > 0) {
        }
    }

private:
    static void closeFd(int* fd)
    {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }

    int m_read = -1;
    int m_write = -1;
};

TEST(HidPlatformLinux, InvalidHandleFailsEverywhere)
{
    uint8_t report[8] = {1};
    size_t count = 99;
    uint16_t vendor = 7, product = 7;
    hidplatform::ReportLengths lengths;
    lengths.input = 3;

    EXPECT_EQ(hidplatform::writeReport(kInvalidHandle, report, sizeof(report), 10, &count), IoResult::kError);
    EXPECT_EQ(hidplatform::readReport(kInvalidHandle, report, sizeof(report), 10, &count), IoResult::kError);
    EXPECT_FALSE(hidplatform::getAttributes(kInvalidHandle, &vendor, &product));
    EXPECT_FALSE(hidplatform::getReportLengths(kInvalidHandle, &lengths));
    EXPECT_FALSE(hidplatform::setFeature(kInvalidHandle, report, sizeof(report)));
    EXPECT_FALSE(hidplatform::getFeature(kInvalidHandle, report, sizeof(report), &count));
    hidplatform::close(kInvalidHandle);

    EXPECT_EQ(count, 99u);
    EXPECT_EQ(vendor, 7);
    EXPECT_EQ(lengths.input, 3);
}

TEST(HidPlatformLinux, IndexPastTheLastNodeOpensNothing)
{
    EXPECT_EQ(hidplatform::openByIndex(1000000), kInvalidHandle);
}

TEST(HidPlatformLinux, ReadTimesOutNoEarlierThanAsked)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    uint8_t buffer[16];
    size_t got = 99;
    const auto start = Clock::now();
    EXPECT_EQ(hidplatform::readReport(pipe.readHandle(), buffer, sizeof(buffer), 120, &got), IoResult::kTimeout);
    const long waited = elapsedMs(start);
    EXPECT_GE(waited, 120);
    EXPECT_LT(waited, 1000);
    EXPECT_EQ(got, 99u);
}

TEST(HidPlatformLinux, ZeroTimeoutOnlyLooks)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    uint8_t buffer[4];
    size_t got = 0;
    EXPECT_EQ(hidplatform::readReport(pipe.readHandle(), buffer, sizeof(buffer), 0, &got), IoResult::kTimeout);
    const uint8_t report[] = {1, 2};
    ASSERT_EQ(write(static_cast<int>(pipe.writeHandle()), report, sizeof(report)), 2);
    EXPECT_EQ(hidplatform::readReport(pipe.readHandle(), buffer, sizeof(buffer), 0, &got), IoResult::kDone);
    EXPECT_EQ(got, 2u);
}

TEST(HidPlatformLinux, ReadDeliversWaitingReport)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    const uint8_t report[] = {1, 'v', '1', 0, 0};
    ASSERT_EQ(write(static_cast<int>(pipe.writeHandle()), report, sizeof(report)), 5);

    uint8_t buffer[64] = {};
    size_t got = 0;
    ASSERT_EQ(hidplatform::readReport(pipe.readHandle(), buffer, sizeof(buffer), 100, &got), IoResult::kDone);
    ASSERT_EQ(got, sizeof(report));
    EXPECT_EQ(std::memcmp(buffer, report, sizeof(report)), 0);
}

TEST(HidPlatformLinux, ReadWithoutLimitWaitsForLateReport)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    const int writeFd = static_cast<int>(pipe.writeHandle());
    std::thread device([writeFd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        const uint8_t report[] = {1, 42};
        EXPECT_EQ(write(writeFd, report, sizeof(report)), 2);
    });
    uint8_t buffer[8] = {};
    size_t got = 0;
    const auto start = Clock::now();
    const IoResult result = hidplatform::readReport(pipe.readHandle(), buffer, sizeof(buffer), kWaitForever, &got);
    const long waited = elapsedMs(start);
    device.join();
    EXPECT_EQ(result, IoResult::kDone);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buffer[1], 42);
    EXPECT_GE(waited, 70);
}

void ignoreSignal(int) {}

// A signal handler installed without SA_RESTART, and a timer that fires it
// every `periodMs` while the object lives.
class PeriodicSignal {
public:
    explicit PeriodicSignal(int periodMs)
    {
        struct sigaction action;
        std::memset(&action, 0, sizeof(action));
        action.sa_handler = ignoreSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &m_previous);
        itimerval timer = {};
        timer.it_interval.tv_usec = periodMs * 1000;
        timer.it_value.tv_usec = periodMs * 1000;
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~PeriodicSignal()
    {
        itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &m_previous, nullptr);
    }

private:
    struct sigaction m_previous;
};

TEST(HidPlatformLinux, SignalsDoNotCutTheWaitShortOrLengthenIt)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    uint8_t buffer[8];
    size_t got = 0;
    IoResult result;
    long waited;
    {
        PeriodicSignal signals(20);
        const auto start = Clock::now();
        result = hidplatform::readReport(pipe.readHandle(), buffer, sizeof(buffer), 150, &got);
        waited = elapsedMs(start);
    }
    EXPECT_EQ(result, IoResult::kTimeout);
    EXPECT_GE(waited, 150);
    EXPECT_LT(waited, 1000);
}

TEST(HidPlatformLinux, HangUpIsAnErrorNotAWait)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    pipe.closeWrite();
    uint8_t buffer[8];
    size_t got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(hidplatform::readReport(pipe.readHandle(), buffer, sizeof(buffer), 2000, &got), IoResult::kError);
    EXPECT_LT(elapsedMs(start), 1000);
}

TEST(HidPlatformLinux, WriteTransfersReport)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    const uint8_t report[] = {1, 's', 'e', 't', 0, 0, 0, 0};
    size_t written = 0;
    ASSERT_EQ(hidplatform::writeReport(pipe.writeHandle(), report, sizeof(report), 100, &written), IoResult::kDone);
    EXPECT_EQ(written, sizeof(report));
    uint8_t arrived[16] = {};
    ASSERT_EQ(read(static_cast<int>(pipe.readHandle()), arrived, sizeof(arrived)), 8);
    EXPECT_EQ(std::memcmp(arrived, report, sizeof(report)), 0);
}

TEST(HidPlatformLinux, WriteTimesOutWhenNothingIsTaken)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    pipe.fill();
    const uint8_t report[64] = {1};
    size_t written = 99;
    const auto start = Clock::now();
    EXPECT_EQ(hidplatform::writeReport(pipe.writeHandle(), report, sizeof(report), 100, &written),
              IoResult::kTimeout);
    EXPECT_GE(elapsedMs(start), 100);
    EXPECT_EQ(written, 99u);
}

TEST(HidPlatformLinux, WriteToVanishedReaderIsAnError)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    pipe.closeRead();
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    const uint8_t report[4] = {1};
    size_t written = 0;
    const IoResult result = hidplatform::writeReport(pipe.writeHandle(), report, sizeof(report), 100, &written);
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(result, IoResult::kError);
}

TEST(HidPlatformLinux, DeviceQueriesFailOnSomethingThatIsNotHidraw)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.valid());
    uint16_t vendor = 7, product = 7;
    hidplatform::ReportLengths lengths;
    uint8_t report[8] = {2};
    size_t got = 99;
    EXPECT_FALSE(hidplatform::getAttributes(pipe.readHandle(), &vendor, &product));
    EXPECT_FALSE(hidplatform::getReportLengths(pipe.readHandle(), &lengths));
    EXPECT_FALSE(hidplatform::setFeature(pipe.writeHandle(), report, sizeof(report)));
    EXPECT_FALSE(hidplatform::getFeature(pipe.readHandle(), report, sizeof(report), &got));
    EXPECT_EQ(vendor, 7);
    EXPECT_EQ(lengths.input, 0);
    EXPECT_EQ(got, 99u);
}

} // namespace
