// The command-line front end: reads the action word, checks the action's
// arguments, hands them to one command and maps its result to the exit
// status. Usage and argument errors go to standard error; standard output
// carries only what the commands write.
#include "kr_frontend.h"

#include "kr_dfufirmware.h"
#include "kr_mvcommand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kr {

namespace {

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

bool handleUsage(int argc, char** argv, const char* error)
{
    printUsage(stderr, programName(argc, argv), error);
    return error == nullptr;
}

// Words after the action are ignored.
bool handleVersion(int, char**)
{
    return mv_CommandVersion();
}

bool handleDevices(int argc, char** argv)
{
    if (argc != 4)
        return handleUsage(argc, argv, "Too few arguments");
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    if (!readUsbId(argv[2], idVendor))
        return handleUsage(argc, argv, "Invalid idVendor");
    if (!readUsbId(argv[3], idProduct))
        return handleUsage(argc, argv, "Invalid idProduct");
    return mv_CommandDevices(idVendor, idProduct);
}

bool handleFirmware(int argc, char** argv)
{
    if (argc != 4)
        return handleUsage(argc, argv, "Invalid argument count");
    return mv_CommandUpdate(argv[2], argv[3]);
}

// The identifier and the request name; words after the name are ignored,
// and a missing name reaches the command as an absent request.
bool handleControl(int argc, char** argv, bool expectReply)
{
    if (argc < 3)
        return handleUsage(argc, argv, "Invalid argument count");
    return mv_CommandControl(argv[2], argc > 3 ? argv[3] : nullptr, expectReply);
}

bool handleReset(int argc, char** argv)
{
    if (argc != 3)
        return handleUsage(argc, argv, "Invalid argument count");
    return mv_CommandReset(argv[2]);
}

// Describes every named file; a file that does not load is reported and
// skipped, and the action still succeeds. Standard output is flushed before
// each error line, so that a log taking both streams keeps the order in
// which the files were named.
bool handleDfuFile(int argc, char** argv)
{
    for (int i = 2; i < argc; ++i) {
        DfuFirmware firmware;
        if (!firmware.load(argv[i], false)) {
            std::fflush(stdout);
            std::fprintf(stderr, "Invalid DFU file %s\n", argv[i]);
            continue;
        }
        firmware.printDescription(stdout, argv[i], 8, 32);
    }
    std::fflush(stdout);
    return true;
}

bool dispatch(int argc, char** argv)
{
    if (argc <= 1)
        return handleUsage(argc, argv, nullptr);
    const char* action = argv[1];
    if (std::strcmp(action, "version") == 0)
        return handleVersion(argc, argv);
    if (std::strcmp(action, "devices") == 0)
        return handleDevices(argc, argv);
    if (std::strcmp(action, "update") == 0)
        return handleFirmware(argc, argv);
    if (std::strcmp(action, "set") == 0)
        return handleControl(argc, argv, false);
    if (std::strcmp(action, "get") == 0)
        return handleControl(argc, argv, true);
    if (std::strcmp(action, "reset") == 0)
        return handleReset(argc, argv);
    if (std::strcmp(action, "dfufile") == 0)
        return handleDfuFile(argc, argv);
    return handleUsage(argc, argv, "Invalid action");
}

} // namespace

// strtoll converts exactly as "%i" does, without the undefined behaviour that
// sscanf has on overflow.
bool readUsbId(const char* text, uint16_t& id)
{
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 0);
    if (end == text)
        return false;
    id = static_cast<uint16_t>(static_cast<unsigned long long>(value) & 0xFFFFu);
    return true;
}

std::string programName(int argc, const char* const* argv)
{
    if (argc <= 0)
        return "tool";
    if (argv == nullptr || argv[0] == nullptr)
        return "???";
    std::string path(argv[0]);
    size_t end = path.size();
    while (end > 0 && isSeparator(path[end - 1]))
        --end;
    if (end == 0)
        return path.empty() ? "???" : path.substr(0, 1);
    size_t start = end;
    while (start > 0 && !isSeparator(path[start - 1]))
        --start;
    return path.substr(start, end - start);
}

void printUsage(FILE* err, const std::string& program, const char* error)
{
    static const char* const kActionLines[] = {
        "  %s version\n",
        "  %s devices idVendor idProduct\n",
        "  %s update <deviceIdenifier> <sourceFirmwareFile>\n",
        "  %s set <deviceIdenifier> name\n",
        "  %s get <deviceIdenifier> name\n",
        "  %s reset <deviceIdenifier>\n",
        "  %s dfufile [filename [filename...]]\n",
    };
    if (error != nullptr)
        std::fprintf(err, "Error: %s\n\n", error);
    std::fprintf(err, "Usage:\n\n");
    for (const char* line : kActionLines)
        std::fprintf(err, line, program.c_str());
    std::fprintf(err, "\n");
    std::fflush(err);
}

int runCommandLine(int argc, char** argv)
{
    return dispatch(argc, argv) ? 0 : -1;
}

} // namespace kr
