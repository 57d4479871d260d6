// Small I/O helpers that hiddfu-sim's transports (uhid and USB gadget)
// share: an owning file descriptor, whole writes, the report log, the ready
// file and error messages.
#ifndef SIM_IO_H
#define SIM_IO_H

#include "scoped_handle.h"
#include "sim_device.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// The product name both transports give the device.
const char kSimDeviceName[] = "hiddfu simulator";

// An owning file descriptor, closed on destruction.
using FileDescriptor = hidplatform::FileDescriptor;

// "hiddfu-sim: MESSAGE" on stderr.
void printError(const std::string& message);

// WHAT followed by the text of errno.
std::string errnoText(const std::string& what);

// Writes all of data, retrying after EINTR and short writes.
bool writeAll(int fd, const void* data, size_t size);

// Writes a whole small text file (sysfs and configfs attributes).
bool writeTextFile(const std::string& path, const std::string& text);

std::string toHex(const uint8_t* data, size_t size);

// Writes `content` to `path` through a temporary file and a rename, so a
// reader sees either nothing or all of it.
bool writeTextAtomically(const std::string& path, const std::string& content);

// Appends one line to the log file; true without a log (empty path).
bool appendLogLine(const std::string& logPath, const std::string& text);

// " stalled", " unanswered", " gone" or "" for a completed transfer: what
// the report log adds after a feature report.
const char* outcomeText(FeatureOutcome outcome);

// Moves the process to real-time scheduling (SCHED_FIFO, lowest priority),
// so that it answers its host before ordinary processes run; false (errno
// set) when the system refuses.
bool raiseToRealtimePriority();

// Prints the hidraw node and writes it to the ready file, if there is one.
bool announceReady(const std::string& node, const std::string& readyFile);

} // namespace sim

#endif
