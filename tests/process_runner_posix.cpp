#include "process_runner.h"

#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace testsupport {

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir, bool errorIntoOutput)
{
    TempDir capture;
    const std::string outPath = capture.path("stdout");
    const std::string errPath = capture.path("stderr");

    std::vector<std::string> command;
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : command)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    // The child changes folder before exec, so the program path must not be
    // relative to the parent's folder: callers pass absolute paths.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (errorIntoOutput)
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!workDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ProcessResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
    result.out = readText(outPath);
    result.err = errorIntoOutput ? std::string() : readText(errPath);
    return result;
}

int failureExitCode()
{
    return 255;
}

} // namespace testsupport
