// Stop requests on Windows: a console control handler for Ctrl-C,
// Ctrl-Break and the closing of the console window. The system runs it on a
// thread of its own. The first event is counted and taken care of; a
// second one is left to the next handler, the default one, which ends the
// process. When the console is being closed the process ends as soon as
// the handler returns, so the handler waits (within the few seconds the
// system grants) until the update has written its final line.
#include "kr_interrupt.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kr {

namespace {

// The system gives a handler of CTRL_CLOSE_EVENT about five seconds.
const DWORD kCloseWaitMs = 4500;
const DWORD kCloseWaitStepMs = 50;

} // namespace

int __stdcall detail::consoleControlHandler(unsigned long controlType)
{
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT &&
        controlType != CTRL_CLOSE_EVENT)
        return FALSE;
    if (!countInterrupt())
        return FALSE;
    if (controlType == CTRL_CLOSE_EVENT) {
        for (DWORD waited = 0; catcherActive() && waited < kCloseWaitMs; waited += kCloseWaitStepMs)
            Sleep(kCloseWaitStepMs);
    }
    return TRUE;
}

namespace {

BOOL WINAPI onConsoleControl(DWORD controlType)
{
    return detail::consoleControlHandler(controlType) ? TRUE : FALSE;
}

} // namespace

InterruptCatcher::InterruptCatcher()
{
    detail::clearInterrupts();
    detail::setCatcherActive(true);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

InterruptCatcher::~InterruptCatcher()
{
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    detail::setCatcherActive(false);
}

} // namespace kr
