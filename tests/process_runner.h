// Runs a program as a separate process with its standard output and error
// captured separately, for tests of the shipped executable.
#ifndef HIDDFU_PROCESS_RUNNER_H
#define HIDDFU_PROCESS_RUNNER_H

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int exitCode = -1000;  // as the platform reports it: 255 for -1 on POSIX
    std::string out;
    std::string err;
};

// Runs `program` with `args` (argv[1]...), passed verbatim with no shell in
// between, in the folder `workDir` (the current one when empty). With
// `errorIntoOutput` standard error goes where standard output goes, as
// `2>&1` into a file would send it: `out` holds both, in the order written.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir = std::string(), bool errorIntoOutput = false);

// The exit status that `return -1` from main shows as on this platform.
int failureExitCode();

} // namespace testsupport

#endif
