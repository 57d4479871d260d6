// The one line on standard error that says why a device that is attached
// could not be used, or why the upgrade library refused to start an
// upgrade. Standard output keeps the command's own texts; these lines only
// add what the user needs to act.
#ifndef KR_DEVICEDIAGNOSIS_H
#define KR_DEVICEDIAGNOSIS_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace kr {

// "Device vvvv:pppp is in use by another program", naming the node when
// `path` is not empty.
void printDeviceInUse(FILE* err, uint32_t vid, uint32_t pid, const std::string& path);

// Looks for an interface with these ids that the user may not open and, when
// there is one, prints a line naming it and pointing to the fix. True when
// it printed.
bool explainDeniedDevice(FILE* err, uint32_t vid, uint32_t pid);

// The reason, in a device maker's words, for a refusal that
// hidDfuGetResult reports after hidDfuUpgrade refused; null when the number
// is not one of the library's refusals.
const char* upgradeRefusalText(int32_t reason);

} // namespace kr

#endif
