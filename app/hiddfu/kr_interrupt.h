// Requests to stop a running update: SIGINT, SIGTERM and SIGHUP on POSIX;
// Ctrl-C, Ctrl-Break and closing the console on Windows.
//
// While an InterruptCatcher lives, the first request only sets a flag that
// the update's progress poll looks at (it then stops the upgrade through the
// library and writes the final line); a second request ends the process at
// once, as if nobody had caught it. The flag is a lock-free atomic, so the
// signal handler stays async-signal-safe and the poll thread reads it
// without a lock.
#ifndef KR_INTERRUPT_H
#define KR_INTERRUPT_H

namespace kr {

class InterruptCatcher {
public:
    // Clears the flag and installs the handlers.
    InterruptCatcher();
    // Restores what was there before.
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;
};

// True once a request to stop has come while a catcher lived.
bool interruptRequested();

namespace detail {

// Counts one request; true for the first since the catcher was made.
bool countInterrupt();
void clearInterrupts();
// While a catcher lives (the console handler waits on it when the console
// is being closed: the process ends as soon as that handler returns).
bool catcherActive();
void setCatcherActive(bool active);

#ifdef _WIN32
// The console control handler: TRUE when the event was taken care of.
int __stdcall consoleControlHandler(unsigned long controlType);
#endif

} // namespace detail

} // namespace kr

#endif
