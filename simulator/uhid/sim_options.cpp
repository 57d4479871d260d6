#include "sim_options.h"

#include <cstdint>

namespace sim {

namespace {

const char kUsage[] =
    "usage: hiddfu-sim [options]\n"
    "Presents a simulated HID device to the kernel through /dev/uhid (needs root\n"
    "and the uhid module) until SIGTERM or SIGINT.\n"
    "\n"
    "  --vid HEX                vendor id (default 1234)\n"
    "  --pid HEX                product id (default 5678)\n"
    "  --input-bytes N          input report data bytes behind the id byte (default 64)\n"
    "  --output-bytes N         output report data bytes behind the id byte (default 64)\n"
    "  --reply NAME=TEXT        answer the control request NAME with TEXT; repeatable;\n"
    "                           the first one replaces the default version=1.0.0\n"
    "  --silent                 never answer any request\n"
    "  --log FILE               append each output report received, as one line of\n"
    "                           lowercase hex, report id first\n"
    "  --ready-file PATH        once the hidraw node exists, write its name (hidrawN)\n"
    "                           to PATH (atomically); removed again on exit\n"
    "  --exit-after-outputs N   unplug the device and exit after N output reports\n"
    "  --help                   show this text\n"
    "\n"
    "The hidraw node name is also printed on standard output once it exists.\n";

bool parseUnsigned(const std::string& text, unsigned base, unsigned long max, unsigned long* value)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long result = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        result = result * base + digit;
    }
    if (result > max)
        return false;
    *value = result;
    return true;
}

bool parseId(std::string text, uint16_t* id)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.erase(0, 2);
    unsigned long value;
    if (!parseUnsigned(text, 16, 0xFFFF, &value))
        return false;
    *id = static_cast<uint16_t>(value);
    return true;
}

bool parseReportBytes(const std::string& text, uint16_t* bytes)
{
    unsigned long value;
    if (!parseUnsigned(text, 10, kMaxReportDataBytes, &value) || value == 0)
        return false;
    *bytes = static_cast<uint16_t>(value);
    return true;
}

class Parser {
public:
    Parser(const std::vector<std::string>& args, SimOptions* options, std::string* error)
        : m_args(args), m_options(options), m_error(error)
    {
    }

    ParseOutcome run()
    {
        for (m_next = 0; m_next < m_args.size();) {
            const std::string option = m_args[m_next++];
            if (option == "--help")
                return ParseOutcome::kHelp;
            if (!apply(option))
                return ParseOutcome::kError;
        }
        return ParseOutcome::kRun;
    }

private:
    bool apply(const std::string& option)
    {
        DeviceConfig& device = m_options->device;
        if (option == "--silent") {
            device.silent = true;
            return true;
        }
        std::string value;
        if (!isValueOption(option))
            return fail("unknown option " + option);
        if (!takeValue(option, &value))
            return false;
        if (option == "--vid")
            return parseId(value, &device.vendorId) || fail("--vid wants a hex id up to ffff");
        if (option == "--pid")
            return parseId(value, &device.productId) || fail("--pid wants a hex id up to ffff");
        if (option == "--input-bytes")
            return parseReportBytes(value, &device.inputDataBytes) || fail(reportBytesError(option));
        if (option == "--output-bytes")
            return parseReportBytes(value, &device.outputDataBytes) || fail(reportBytesError(option));
        if (option == "--reply")
            return addReply(value);
        if (option == "--log")
            m_options->logPath = value;
        else if (option == "--ready-file")
            m_options->readyFile = value;
        else
            return parseExitAfter(value);
        return true;
    }

    static bool isValueOption(const std::string& option)
    {
        for (const char* known : {"--vid", "--pid", "--input-bytes", "--output-bytes", "--reply", "--log",
                                  "--ready-file", "--exit-after-outputs"}) {
            if (option == known)
                return true;
        }
        return false;
    }

    bool takeValue(const std::string& option, std::string* value)
    {
        if (m_next >= m_args.size())
            return fail(option + " needs a value");
        *value = m_args[m_next++];
        return true;
    }

    bool addReply(const std::string& value)
    {
        const size_t equals = value.find('=');
        if (equals == std::string::npos || equals == 0)
            return fail("--reply wants NAME=TEXT with a non-empty NAME");
        if (!m_repliesGiven) {
            m_options->device.replies.clear();
            m_repliesGiven = true;
        }
        m_options->device.replies[value.substr(0, equals)] = value.substr(equals + 1);
        return true;
    }

    bool parseExitAfter(const std::string& value)
    {
        unsigned long count;
        if (!parseUnsigned(value, 10, 1000000000ul, &count) || count == 0)
            return fail("--exit-after-outputs wants a count of at least 1");
        m_options->exitAfterOutputs = static_cast<unsigned>(count);
        return true;
    }

    static std::string reportBytesError(const std::string& option)
    {
        return option + " wants a byte count from 1 to " + std::to_string(kMaxReportDataBytes);
    }

    bool fail(const std::string& message)
    {
        *m_error = message;
        return false;
    }

    const std::vector<std::string>& m_args;
    SimOptions* m_options;
    std::string* m_error;
    size_t m_next = 0;
    bool m_repliesGiven = false;
};

} // namespace

ParseOutcome parseSimOptions(const std::vector<std::string>& args, SimOptions* options,
                             std::string* error)
{
    return Parser(args, options, error).run();
}

const char* simUsage()
{
    return kUsage;
}

} // namespace sim
