#include "sim_io.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

void printError(const std::string& message)
{
    std::fprintf(stderr, "hiddfu-sim: %s\n", message.c_str());
}

std::string errnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool writeAll(int fd, const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t count = write(fd, bytes, size);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += count;
        size -= static_cast<size_t>(count);
    }
    return true;
}

bool writeTextFile(const std::string& path, const std::string& text)
{
    FileDescriptor file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    return file.valid() && writeAll(file.get(), text.data(), text.size());
}

std::string toHex(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0xF]);
    }
    return text;
}

bool writeTextAtomically(const std::string& path, const std::string& content)
{
    const std::string temporary = path + ".tmp";
    {
        FileDescriptor file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!file.valid() || !writeAll(file.get(), content.data(), content.size()))
            return false;
    }
    return rename(temporary.c_str(), path.c_str()) == 0;
}

bool appendLogLine(const std::string& logPath, const std::string& text)
{
    if (logPath.empty())
        return true;
    FileDescriptor log(open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    const std::string line = text + "\n";
    if (!log.valid() || !writeAll(log.get(), line.data(), line.size())) {
        printError(errnoText("writing " + logPath));
        return false;
    }
    return true;
}

const char* outcomeText(FeatureOutcome outcome)
{
    switch (outcome) {
    case FeatureOutcome::kDone:
        return "";
    case FeatureOutcome::kStalled:
        return " stalled";
    case FeatureOutcome::kUnanswered:
        return " unanswered";
    case FeatureOutcome::kGone:
        return " gone";
    }
    return " ?";
}

bool announceReady(const std::string& node, const std::string& readyFile)
{
    std::printf("%s\n", node.c_str());
    std::fflush(stdout);
    if (!readyFile.empty() && !writeTextAtomically(readyFile, node + "\n")) {
        printError(errnoText("writing " + readyFile));
        return false;
    }
    return true;
}

bool raiseToRealtimePriority()
{
    sched_param parameters{};
    parameters.sched_priority = sched_get_priority_min(SCHED_FIFO);
    return sched_setscheduler(0, SCHED_FIFO, &parameters) == 0;
}

} // namespace sim
