// mkdfu: wraps a raw firmware binary in a USB DFU 1.1 file suffix, so that
// hiddfu (and any other DFU loader) can check which device it belongs to and
// that it arrived intact.
//
// Portable C++ only (it is also built for Windows): files are read with
// std::ifstream, and the DFU file is written by kr::DfuFirmware::save.
//
// mkdfu never removes what it did not make: a regular output file is written
// to a temporary file beside it and renamed into place only when complete,
// so a failure leaves an existing file as it was; an output that is not a
// regular file (a device, a FIFO) is written directly and never removed.
#include "kr_dfufirmware.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {

const int kExitFailure = 1; // a file could not be read or written
const int kExitUsage = 2;   // the command line is wrong

const char* const kUsage =
    "usage: mkdfu [options] input.bin output.dfu\n"
    "\n"
    "Writes output.dfu: the bytes of input.bin, the optional aux data and a\n"
    "16-byte USB DFU 1.1 suffix holding the ids below and a CRC of the file.\n"
    "\n"
    "options (ids are hexadecimal, with or without 0x: 1234 and 0x1234 are the\n"
    "same; 1 to 4 hex digits):\n"
    "  -v VID      vendor id (idVendor); required unless --any-device\n"
    "  -p PID      product id (idProduct); required unless --any-device\n"
    "  --any-device  ffff for the vendor and product id not given\n"
    "  -d BCD      device release (bcdDevice), default ffff: any release\n"
    "  -V BCD      DFU version (bcdDFU), default 0100; loaders refuse < 0100\n"
    "  -a AUXFILE  aux data placed between the firmware and the suffix\n"
    "              (0 to 239 bytes)\n"
    "  -h, --help  show this text\n"
    "\n"
    "hiddfu update accepts a file only for a device whose vendor and product id\n"
    "are the file's: give the ids of the device the firmware is for. ffff (what\n"
    "--any-device writes) matches only a device identifier that says ffff.\n"
    "\n"
    "The finished file may be at most 1 GiB (1073741824 bytes).\n"
    "Exit status: 0 on success; 1 when a file cannot be read, is too large or\n"
    "cannot be written; 2 for a wrong command line.\n";

struct Options {
    uint16_t idVendor = kr::DfuFirmware::kAnyVendorId;
    uint16_t idProduct = kr::DfuFirmware::kAnyProductId;
    bool vendorGiven = false;
    bool productGiven = false;
    bool anyDevice = false;
    uint16_t bcdDevice = kr::DfuFirmware::kAnyDeviceRelease;
    uint16_t bcdDFU = kr::DfuFirmware::kDfuVersion;
    std::string auxPath; // empty: no aux data
    std::string inputPath;
    std::string outputPath;
};

// Thrown for any failure; carries the exit status and the message.
struct MkdfuError {
    int status;
    std::string message;
};

MkdfuError usageError(const std::string& message)
{
    return MkdfuError{kExitUsage, message + "\n(mkdfu --help shows the usage)"};
}

// The reason the last file operation failed, when the C library told us.
std::string systemReason()
{
    return errno != 0 ? std::string(": ") + std::strerror(errno) : std::string();
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "1234", "0x1234", "0XaB": 1 to 4 hex digits after an optional 0x prefix.
uint16_t parseHexId(const std::string& option, const std::string& text)
{
    std::string digits = text;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.erase(0, 2);
    if (digits.empty() || digits.size() > 4)
        throw usageError(option + " needs 1 to 4 hex digits (such as 0x1234), not '" + text + "'");
    unsigned value = 0;
    for (char c : digits) {
        int digit = hexDigitValue(c);
        if (digit < 0)
            throw usageError(option + " needs a hexadecimal number (such as 0x1234), not '" + text + "'");
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<uint16_t>(value);
}

// True when the option was -h or --help and the usage text should be shown.
bool parseArguments(int argc, char** argv, Options& options)
{
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help")
            return true;
        if (arg == "--any-device") {
            options.anyDevice = true;
            continue;
        }
        if (arg.size() != 2 || std::strchr("vpdVa", arg[1]) == nullptr)
            throw usageError("unknown option '" + arg + "'");
        if (i + 1 >= argc)
            throw usageError("option " + arg + " needs a value");
        std::string value = argv[++i];
        switch (arg[1]) {
        case 'v':
            options.idVendor = parseHexId(arg, value);
            options.vendorGiven = true;
            break;
        case 'p':
            options.idProduct = parseHexId(arg, value);
            options.productGiven = true;
            break;
        case 'd': options.bcdDevice = parseHexId(arg, value); break;
        case 'V': options.bcdDFU = parseHexId(arg, value); break;
        case 'a':
            if (value.empty())
                throw usageError("option -a needs a file name");
            options.auxPath = value;
            break;
        }
    }
    // A file for vendor and product ffff fits no real device: that must be
    // asked for, not fallen into by forgetting an option.
    if (!options.anyDevice && !(options.vendorGiven && options.productGiven))
        throw usageError("the vendor and product id are required (-v VID -p PID), or "
                         "--any-device for a file with ffff in those not given");
    if (positional.size() != 2)
        throw usageError("expected an input and an output file name, got " +
                         std::to_string(positional.size()) + " file name(s)");
    options.inputPath = positional[0];
    options.outputPath = positional[1];
    return false;
}

std::ifstream openForReading(const std::string& path, const char* what)
{
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored))
        throw MkdfuError{kExitFailure, std::string(what) + " '" + path + "' is a directory"};
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw MkdfuError{kExitFailure,
                         std::string("cannot open ") + what + " '" + path + "'" + systemReason()};
    return in;
}

// Aux data: at most kMaxAuxSize bytes. Reads one byte more than allowed to
// tell "too long" apart without reading a large file whole.
std::vector<uint8_t> readAuxFile(const std::string& path)
{
    std::ifstream in = openForReading(path, "aux data file");
    const uint32_t limit = kr::DfuFirmware::kMaxAuxSize;
    std::vector<uint8_t> bytes(limit + 1);
    errno = 0;
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad() || (in.fail() && !in.eof()))
        throw MkdfuError{kExitFailure, "cannot read aux data file '" + path + "'" + systemReason()};
    if (static_cast<uint32_t>(in.gcount()) > limit)
        throw MkdfuError{kExitFailure, "aux data file '" + path + "' is longer than " +
                                         std::to_string(limit) + " bytes"};
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// The largest payload that still gives a loadable file with this much aux data.
uint64_t maxPayloadSize(uint32_t auxSize)
{
    return uint64_t{kr::DfuFirmware::kMaxFileSize} - kr::DfuFirmware::kMinTrailerLength - auxSize;
}

// Reads the whole input straight into the image's payload buffer (one copy of
// the firmware in memory, however large).
void readPayload(const std::string& path, uint32_t auxSize, kr::DfuFirmware& firmware)
{
    std::ifstream in = openForReading(path, "input file");
    errno = 0;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (!in || size < 0)
        throw MkdfuError{kExitFailure, "cannot find the size of input file '" + path + "'" +
                                           systemReason()};
    const uint64_t limit = maxPayloadSize(auxSize);
    if (static_cast<uint64_t>(size) > limit)
        throw MkdfuError{kExitFailure, "input file '" + path + "' has " + std::to_string(size) +
                                         " bytes; with " + std::to_string(auxSize) +
                                         " bytes of aux data it may have at most " +
                                         std::to_string(limit) + " (a DFU file is at most 1 GiB)"};
    in.seekg(0, std::ios::beg);
    firmware.resize(static_cast<uint32_t>(size), false);
    if (size > 0) {
        errno = 0;
        in.read(reinterpret_cast<char*>(firmware.data()), static_cast<std::streamsize>(size));
        if (!in || in.gcount() != static_cast<std::streamsize>(size))
            throw MkdfuError{kExitFailure, "cannot read input file '" + path + "'" + systemReason()};
    }
}

namespace fs = std::filesystem;

// A name beside `target` that does not exist yet, for the file that becomes
// `target` once complete.
fs::path temporaryBeside(const fs::path& target)
{
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = target;
        candidate += ".mkdfu-" + std::to_string(random() % 1000000u);
        std::error_code ignored;
        if (!fs::exists(fs::symlink_status(candidate, ignored)))
            return candidate;
    }
    throw MkdfuError{kExitFailure, "cannot find a free temporary name beside '" + target.string() + "'"};
}

// Saves the image to `outputPath`. A regular file (or none yet) is replaced
// only by a complete one; anything else is written to directly.
void saveWithoutLoss(const kr::DfuFirmware& firmware, const std::string& outputPath)
{
    std::error_code error;
    fs::path target(outputPath);
    // A link is followed: the file it names is the one replaced.
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        const fs::path resolved = fs::canonical(target, error);
        if (!error)
            target = resolved;
    }
    const fs::file_status status = fs::status(target, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        errno = 0;
        if (!firmware.save(outputPath.c_str()))
            throw MkdfuError{kExitFailure, "cannot write '" + outputPath + "'" + systemReason()};
        return;
    }

    const fs::path temporary = temporaryBeside(target);
    errno = 0;
    if (!firmware.save(temporary.string().c_str())) {
        const std::string reason = systemReason();
        fs::remove(temporary, error);  // our own, incomplete
        throw MkdfuError{kExitFailure, "cannot write '" + outputPath + "'" + reason};
    }
    fs::rename(temporary, target, error);
    if (error) {
        fs::remove(temporary, error);
        throw MkdfuError{kExitFailure, "cannot write '" + outputPath + "': " + error.message()};
    }
}

void writeDfuFile(const Options& options)
{
    kr::DfuFirmware firmware;
    std::vector<uint8_t> aux;
    if (!options.auxPath.empty())
        aux = readAuxFile(options.auxPath);
    readPayload(options.inputPath, static_cast<uint32_t>(aux.size()), firmware);
    // setAuxData refuses a null pointer even for 0 bytes, and an empty vector
    // may have one: only pass aux data that exists.
    if (!aux.empty() && !firmware.setAuxData(aux.data(), static_cast<uint32_t>(aux.size())))
        throw MkdfuError{kExitFailure, "aux data rejected"};
    firmware.setVendorId(options.idVendor);
    firmware.setProductId(options.idProduct);
    firmware.setDeviceRelease(options.bcdDevice);
    firmware.setVersion(options.bcdDFU);

    saveWithoutLoss(firmware, options.outputPath);
    std::printf("mkdfu: wrote %s: %u bytes firmware, %u bytes aux data, "
                "vendor 0x%04x, product 0x%04x, release 0x%04x, DFU version 0x%04x\n",
                options.outputPath.c_str(), firmware.size(), firmware.auxSize(),
                options.idVendor, options.idProduct, options.bcdDevice, options.bcdDFU);
}

} // namespace

int main(int argc, char** argv)
{
    try {
        Options options;
        if (parseArguments(argc, argv, options)) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (options.bcdDFU < kr::DfuFirmware::kMinDFUVersion)
            std::fprintf(stderr, "mkdfu: warning: DFU version 0x%04x is below 0x0100; "
                                 "loaders will refuse this file\n", options.bcdDFU);
        writeDfuFile(options);
        return 0;
    } catch (const MkdfuError& error) {
        std::fprintf(stderr, "mkdfu: %s\n", error.message.c_str());
        return error.status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "mkdfu: out of memory\n");
        return kExitFailure;
    }
}
