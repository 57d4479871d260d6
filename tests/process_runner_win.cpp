// The Windows process runner: CreateProcess with the standard streams
// redirected to files, the command line quoted so that the child's C runtime
// splits it back into exactly the given words.
#include "process_runner.h"

#include "test_support.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

namespace {

// Owns a kernel handle and closes it on every path out of runProcess.
class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle = nullptr) : m_handle(handle) {}
    ~UniqueHandle()
    {
        if (valid())
            CloseHandle(m_handle);
    }
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.m_handle)
    {
        other.m_handle = nullptr;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle& operator=(UniqueHandle&&) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};

// Throws with the thread's last Windows error, read first, before anything
// that could change it.
[[noreturn]] void throwLastError(const char* what, const std::string& subject)
{
    const DWORD error = GetLastError();
    throw std::runtime_error(std::string(what) + " " + subject + " (Windows error " +
                             std::to_string(error) + ")");
}

// Opens a file that the child inherits as one of its standard streams.
UniqueHandle openInheritable(const std::string& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    UniqueHandle handle(CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid())
        throwLastError("cannot open", path);
    return handle;
}

std::string fullPath(const std::string& path)
{
    DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        throwLastError("cannot resolve", path);
    std::string full(size, '\0'); // size counts the terminating NUL here
    const DWORD length = GetFullPathNameA(path.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size)
        throwLastError("cannot resolve", path);
    full.resize(length);
    return full;
}

// Quotes one word for a command line that the C runtime (and
// CommandLineToArgvW) split back into the same word: inside quotes, a run of
// backslashes is literal unless a quote follows it, when each backslash must
// be doubled and the quote escaped. Words with no blank or quote are left
// alone, so wildcards in them reach the C runtime's expansion as typed.
std::string quoteArgument(const std::string& word)
{
    if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos)
        return word;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            quoted.append(2 * backslashes + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    // The closing quote follows: backslashes before it are doubled.
    quoted.append(2 * backslashes, '\\');
    quoted += '"';
    return quoted;
}

// The program's standard streams are in text mode, as Windows programs'
// usually are: each "\n" it prints arrives as "\r\n". Reading them back
// the same way, as the C runtime reads a text file, gives what it printed.
std::string fromTextMode(const std::string& text)
{
    std::string printed;
    printed.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        printed += text[i];
    }
    return printed;
}

} // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir, bool errorIntoOutput)
{
    TempDir capture;
    const std::string outPath = capture.path("stdout");
    const std::string errPath = capture.path("stderr");

    // Resolved here, in the parent's folder: the child starts in workDir.
    const std::string application = fullPath(program);
    std::string commandLine = quoteArgument(application);
    for (const std::string& arg : args)
        commandLine += ' ' + quoteArgument(arg);
    std::vector<char> commandBuffer(commandLine.begin(), commandLine.end());
    commandBuffer.push_back('\0');

    ProcessResult result;
    {
        UniqueHandle input = openInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
        UniqueHandle output = openInheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
        UniqueHandle error = openInheritable(errPath, GENERIC_WRITE, CREATE_ALWAYS);

        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = errorIntoOutput ? output.get() : error.get();

        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(application.c_str(), commandBuffer.data(), nullptr, nullptr, TRUE, 0,
                            nullptr, workDir.empty() ? nullptr : workDir.c_str(), &startup,
                            &process))
            throwLastError("cannot start", application);
        UniqueHandle child(process.hProcess);
        UniqueHandle childThread(process.hThread);

        if (WaitForSingleObject(child.get(), INFINITE) != WAIT_OBJECT_0)
            throwLastError("cannot wait for", application);
        DWORD exitCode = 0;
        if (!GetExitCodeProcess(child.get(), &exitCode))
            throwLastError("no exit code from", application);
        // Windows keeps all 32 bits: `return -1` gives 0xFFFFFFFF, read as -1.
        result.exitCode = static_cast<int>(exitCode);
    } // the files are closed here, before they are read back
    result.out = fromTextMode(readText(outPath));
    result.err = errorIntoOutput ? std::string() : fromTextMode(readText(errPath));
    return result;
}

int failureExitCode()
{
    return -1;
}

} // namespace testsupport
