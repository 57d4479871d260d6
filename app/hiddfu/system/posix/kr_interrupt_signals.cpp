// Stop requests on POSIX: SIGINT (Ctrl-C), SIGTERM and SIGHUP (the terminal
// went away). The handler only counts; a second signal puts back the
// default action and raises the signal again, which ends the process as
// soon as the handler returns.
#include "kr_interrupt.h"

#include <cerrno>
#include <csignal>

namespace kr {

namespace {

const int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kCaughtCount = sizeof kCaughtSignals / sizeof kCaughtSignals[0];
struct sigaction g_previous[kCaughtCount];

extern "C" void onStopSignal(int signalNumber)
{
    const int savedErrno = errno;
    if (!detail::countInterrupt()) {
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
    }
    errno = savedErrno;
}

} // namespace

InterruptCatcher::InterruptCatcher()
{
    detail::clearInterrupts();
    detail::setCatcherActive(true);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // One handler at a time: a second signal waits until the first is counted.
    for (int signalNumber : kCaughtSignals)
        sigaddset(&action.sa_mask, signalNumber);
    // Interrupted system calls (a read of the device, a sleep) go on.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kCaughtCount; ++i)
        sigaction(kCaughtSignals[i], &action, &g_previous[i]);
}

InterruptCatcher::~InterruptCatcher()
{
    for (int i = 0; i < kCaughtCount; ++i)
        sigaction(kCaughtSignals[i], &g_previous[i], nullptr);
    detail::setCatcherActive(false);
}

} // namespace kr
