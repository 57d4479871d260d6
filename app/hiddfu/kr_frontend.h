// The command-line front end: one action per run, chosen by the first word.
#ifndef KR_FRONTEND_H
#define KR_FRONTEND_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace kr {

// Runs the action that argv names and returns the process exit status:
// 0 for success, -1 for failure.
int runCommandLine(int argc, char** argv);

// Reads a vendor or product id the way "%i" reads an integer (optional sign,
// then decimal, hexadecimal after 0x or 0X, octal after a leading 0; text
// after the number ignored) and keeps its low 16 bits: 65537 gives 1, -1
// gives 65535. False when no number starts the text.
bool readUsbId(const char* text, uint16_t& id);

// The program name shown in the usage text: the last path component of
// argv[0], where both '/' and '\' separate and trailing separators are
// ignored; "tool" when argc is 0 and "???" when no name can be formed.
std::string programName(int argc, const char* const* argv);

// Prints the optional "Error: ..." line and the usage text on `err`.
void printUsage(FILE* err, const std::string& program, const char* error);

} // namespace kr

#endif
