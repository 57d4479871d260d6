#include "sim_options.h"

#include <cstdint>
#include <optional>

namespace sim {

namespace {

const char kUsage[] =
    "usage: hiddfu-sim [options]\n"
    "Presents a simulated HID device to the kernel through /dev/uhid (needs root\n"
    "and the uhid module) until SIGTERM or SIGINT.\n"
    "\n"
    "  --usb                    present it as a USB device instead: a configfs\n"
    "                           gadget with a FunctionFS HID interface on a free\n"
    "                           UDC (needs root, configfs mounted, libcomposite,\n"
    "                           usb_f_fs and a UDC such as dummy_hcd's). A SET_REPORT\n"
    "                           is answered after its data has arrived, so one the\n"
    "                           device refuses or ignores by its content succeeds\n"
    "                           at the host; the device's state says so afterwards\n"
    "  --usb-dfu-class          present only the DFU side, as a standard USB DFU\n"
    "                           interface in DFU mode (class FE/01/02) through\n"
    "                           gadgetfs (needs its module and a free UDC), for any\n"
    "                           DFU host; transfer size 256 or less. Ready file and\n"
    "                           output name the UDC (e.g. dummy_udc.0) once the host\n"
    "                           has configured the device; the log has\n"
    "                           \"dfu-out RR VVVV [DATA]\" and \"dfu-in RR [ANSWER]\" lines\n"
    "  --realtime               run at real-time priority (SCHED_FIFO; --usb-dfu-class\n"
    "                           always does), for timing comparisons\n"
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
    "\n"
    "Firmware upgrades (DFU in feature reports 0xD0-0xD3, docs/protocol.md):\n"
    "  --no-dfu                 declare no DFU feature reports (not upgradable)\n"
    "  --flash FILE             the device's flash: read at start, replaced (temp\n"
    "                           file + rename) by each image that manifests\n"
    "  --transfer-size N        bytes per DNLOAD block, 1 to 4090 (default 1024)\n"
    "  --announce-transfer-size N  announce wTransferSize N (0 to 65535) in the\n"
    "                           functional report instead of the real block size\n"
    "  --poll-timeout MS        bwPollTimeout of each block in dfuDNBUSY (default 5)\n"
    "  --manifest-timeout MS    bwPollTimeout of manifestation (default 20)\n"
    "  --detach-timeout MS      wDetachTimeOut, 0 to 65535 (default 1000)\n"
    "  --no-download            clear bitCanDnload: every DNLOAD stalls\n"
    "  --not-tolerant           not manifestation tolerant: the download ends in\n"
    "                           dfuMANIFEST-WAIT-RESET instead of dfuIDLE\n"
    "  --no-reenumerate         on DETACH only log; default: destroy the device and\n"
    "                           create it again after the detach delay\n"
    "Faults (BLOCK counts the data blocks of a download from 0):\n"
    "  --fail-at-block BLOCK[:STATUS]  enter dfuERROR with bStatus STATUS (1-15,\n"
    "                           default 3 errWRITE) when that block arrives\n"
    "  --stall-at-block BLOCK   stall the request report that would carry that\n"
    "                           block, on sight (over USB from its setup packet):\n"
    "                           dfuERROR, errSTALLEDPKT (15); feature reports only,\n"
    "                           not --usb-dfu-class (gadgetfs cannot stall an OUT\n"
    "                           request that carries data)\n"
    "  --silent-at-block BLOCK  answer no feature report from that block on (the\n"
    "                           kernel gives up on each after 5 s)\n"
    "  --vanish-at-block BLOCK  destroy the device and exit when that block arrives\n"
    "  --busy-forever           every block stays in dfuDNBUSY\n"
    "  --garbage-status         from the first block on, status reports carry\n"
    "                           bState 0xEE\n"
    "  --short-status           from the first block on, status reports are 3 bytes\n"
    "\n"
    "  --help                   show this text\n"
    "\n"
    "The hidraw node name is also printed on standard output once it exists (and\n"
    "again after each re-enumeration; the ready file is removed meanwhile).\n"
    "The log gets one line per feature report too: \"set-feature HEX\" or\n"
    "\"get-feature HEX\" (the report, id first), with \" stalled\", \" unanswered\"\n"
    "or \" gone\" after it when the transfer failed (a failed get shows its id).\n";

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

bool parseBlock(const std::string& text, std::optional<uint32_t>* block)
{
    unsigned long value;
    if (!parseUnsigned(text, 10, 0xFFFFFFFFul, &value))
        return false;
    *block = static_cast<uint32_t>(value);
    return true;
}

// BLOCK or BLOCK:STATUS, STATUS a DFU error status (1-15).
bool parseFailAt(const std::string& text, DfuConfig* dfu)
{
    const size_t colon = text.find(':');
    if (!parseBlock(text.substr(0, colon), &dfu->failAtBlock))
        return false;
    if (colon == std::string::npos)
        return true;
    unsigned long status;
    if (!parseUnsigned(text.substr(colon + 1), 10, dfu::kErrStalledPkt, &status) || status == 0)
        return false;
    dfu->failStatus = static_cast<uint8_t>(status);
    return true;
}

template <typename Number>
bool parseBounded(const std::string& text, unsigned long min, unsigned long max, Number* number)
{
    unsigned long value;
    if (!parseUnsigned(text, 10, max, &value) || value < min)
        return false;
    *number = static_cast<Number>(value);
    return true;
}

// Options without a value and what they set.
bool applyFlag(const std::string& option, SimOptions* options)
{
    DeviceConfig& device = options->device;
    DfuConfig& dfu = device.dfu;
    if (option == "--silent")
        device.silent = true;
    else if (option == "--usb")
        options->usb = true;
    else if (option == "--usb-dfu-class")
        options->usbDfuClass = true;
    else if (option == "--realtime")
        options->realtime = true;
    else if (option == "--keep-uncollected-input")
        options->keepUncollectedInput = true;
    else if (option == "--no-dfu")
        dfu.enabled = false;
    else if (option == "--no-download")
        dfu.canDownload = false;
    else if (option == "--not-tolerant")
        dfu.manifestationTolerant = false;
    else if (option == "--no-reenumerate")
        options->reenumerateOnDetach = false;
    else if (option == "--busy-forever")
        dfu.busyForever = true;
    else if (option == "--garbage-status")
        dfu.garbage = StatusGarbage::kStateOutOfRange;
    else if (option == "--short-status")
        dfu.garbage = StatusGarbage::kShortReport;
    else
        return false;
    return true;
}

const unsigned long kMaxPollTimeoutMs = 0xFFFFFF;  // bwPollTimeout has 24 bits
const unsigned long kMaxAnswerDelayMs = 60000;

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
        if (applyFlag(option, m_options))
            return true;
        std::string value;
        if (!isValueOption(option))
            return fail("unknown option " + option);
        if (!takeValue(option, &value))
            return false;
        if (isDfuValueOption(option))
            return applyDfuValue(option, value);
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
        if (option == "--answer-delay") {
            unsigned long delay;
            if (!parseUnsigned(value, 10, kMaxAnswerDelayMs, &delay))
                return fail("--answer-delay wants milliseconds up to 60000");
            m_options->answerDelayMs = static_cast<unsigned>(delay);
            return true;
        }
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
                                  "--ready-file", "--exit-after-outputs", "--answer-delay"}) {
            if (option == known)
                return true;
        }
        return isDfuValueOption(option);
    }

    static bool isDfuValueOption(const std::string& option)
    {
        for (const char* known : {"--flash", "--transfer-size", "--poll-timeout", "--manifest-timeout",
                                  "--detach-timeout", "--fail-at-block", "--stall-at-block",
                                  "--silent-at-block", "--vanish-at-block", "--announce-transfer-size"}) {
            if (option == known)
                return true;
        }
        return false;
    }

    bool applyDfuValue(const std::string& option, const std::string& value)
    {
        DfuConfig& dfu = m_options->device.dfu;
        if (option == "--flash") {
            if (value.empty())
                return fail("--flash wants a file name");
            dfu.flashPath = value;
            return true;
        }
        if (option == "--announce-transfer-size")
            return parseBounded(value, 0, 0xFFFF, &m_options->announcedTransferSize) ||
                   fail("--announce-transfer-size wants a byte count from 0 to 65535");
        if (option == "--transfer-size")
            return parseBounded(value, 1, dfu::kMaxTransferSize, &dfu.transferSize) ||
                   fail("--transfer-size wants a byte count from 1 to " +
                        std::to_string(dfu::kMaxTransferSize));
        if (option == "--poll-timeout")
            return parseBounded(value, 0, kMaxPollTimeoutMs, &dfu.pollTimeoutMs) ||
                   fail("--poll-timeout wants milliseconds from 0 to 16777215");
        if (option == "--manifest-timeout")
            return parseBounded(value, 0, kMaxPollTimeoutMs, &dfu.manifestTimeoutMs) ||
                   fail("--manifest-timeout wants milliseconds from 0 to 16777215");
        if (option == "--detach-timeout")
            return parseBounded(value, 0, 0xFFFF, &dfu.detachTimeoutMs) ||
                   fail("--detach-timeout wants milliseconds from 0 to 65535");
        if (option == "--fail-at-block")
            return parseFailAt(value, &dfu) ||
                   fail("--fail-at-block wants BLOCK or BLOCK:STATUS with STATUS from 1 to 15");
        if (option == "--stall-at-block")
            return parseBlock(value, &dfu.stallAtBlock) || fail("--stall-at-block wants a block number");
        if (option == "--silent-at-block")
            return parseBlock(value, &dfu.silentAtBlock) || fail("--silent-at-block wants a block number");
        return parseBlock(value, &dfu.vanishAtBlock) || fail("--vanish-at-block wants a block number");
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
