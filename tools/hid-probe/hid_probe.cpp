// hiddfu-hid-probe: drives the HID platform layer by hand, to check the
// hidraw backend against real kernel devices (the uhid simulator in the
// end-to-end VM) without the rest of hiddfu.
//
//   hiddfu-hid-probe
//       one line per interface index: "INDEX VVVV:PPPP in=N out=N feature=N"
//   hiddfu-hid-probe INDEX HEX [WAIT_MS]
//       writes HEX as one output report, zero-padded to the output report
//       length, then reads one input report, waiting up to WAIT_MS (default
//       500; -1 for ever); prints "read HEX", "timeout" or "error"
//   hiddfu-hid-probe INDEX --get-feature ID | --set-feature HEX
//       one feature report transfer; prints "feature HEX", "ok" or "error"
//
// Exit status 0 when the transfer did what was printed without "error" or
// "timeout", 1 otherwise, 2 for a bad command line.
#include "hid_platform.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const unsigned kIndexLimit = 30;
const int kDefaultWaitMs = 500;

std::string toHex(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0xF]);
    }
    return text;
}

bool fromHex(const std::string& text, Bytes* bytes)
{
    if (text.empty() || text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0' || pair[0] == '-' || pair[0] == '+')
            return false;
        bytes->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

int listInterfaces()
{
    for (unsigned index = 0; index < kIndexLimit; ++index) {
        const hidplatform::Device device(hidplatform::openByIndex(index));
        uint16_t vendor = 0, product = 0;
        hidplatform::ReportLengths lengths;
        if (!device.valid() || !hidplatform::getAttributes(device.get(), &vendor, &product))
            continue;
        if (!hidplatform::getReportLengths(device.get(), &lengths)) {
            std::printf("%u %04x:%04x lengths unknown\n", index, vendor, product);
            continue;
        }
        std::printf("%u %04x:%04x in=%u out=%u feature=%u\n", index, vendor, product, lengths.input,
                    lengths.output, lengths.feature);
    }
    return 0;
}

int exchange(const hidplatform::Device& device, Bytes request, int waitMs)
{
    hidplatform::ReportLengths lengths;
    if (!hidplatform::getReportLengths(device.get(), &lengths) || request.size() > lengths.output) {
        std::printf("error\n");
        return 1;
    }
    request.resize(lengths.output, 0);
    size_t written = 0;
    if (hidplatform::writeReport(device.get(), request.data(), request.size(), kDefaultWaitMs, &written) !=
        hidplatform::IoResult::kDone) {
        std::printf("error\n");
        return 1;
    }
    Bytes reply(lengths.input > 0 ? lengths.input : 1);
    size_t got = 0;
    switch (hidplatform::readReport(device.get(), reply.data(), reply.size(), waitMs, &got)) {
    case hidplatform::IoResult::kDone:
        std::printf("read %s\n", toHex(reply.data(), got).c_str());
        return 0;
    case hidplatform::IoResult::kTimeout:
        std::printf("timeout\n");
        return 1;
    case hidplatform::IoResult::kError:
        break;
    }
    std::printf("error\n");
    return 1;
}

int getFeature(const hidplatform::Device& device, uint8_t id)
{
    hidplatform::ReportLengths lengths;
    if (!hidplatform::getReportLengths(device.get(), &lengths) || lengths.feature == 0) {
        std::printf("error\n");
        return 1;
    }
    Bytes report(lengths.feature, 0);
    report[0] = id;
    size_t got = 0;
    if (!hidplatform::getFeature(device.get(), report.data(), report.size(), &got)) {
        std::printf("error\n");
        return 1;
    }
    std::printf("feature %s\n", toHex(report.data(), got).c_str());
    return 0;
}

int setFeature(const hidplatform::Device& device, const Bytes& report)
{
    const bool ok = hidplatform::setFeature(device.get(), report.data(), report.size());
    std::printf(ok ? "ok\n" : "error\n");
    return ok ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr, "usage: hiddfu-hid-probe [INDEX (HEX [WAIT_MS] | --get-feature ID | --set-feature HEX)]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 1)
        return listInterfaces();
    if (argc < 3 || argc > 4)
        return usage();
    char* end = nullptr;
    const unsigned long index = std::strtoul(argv[1], &end, 10);
    if (*end != '\0' || index >= kIndexLimit)
        return usage();
    const std::string second = argv[2];
    Bytes bytes;
    if (second == "--get-feature" || second == "--set-feature") {
        if (argc != 4 || !fromHex(argv[3], &bytes))
            return usage();
    } else if (!fromHex(second, &bytes)) {
        return usage();
    }
    int waitMs = kDefaultWaitMs;
    if (argc == 4 && second[0] != '-') {
        waitMs = static_cast<int>(std::strtol(argv[3], &end, 10));
        if (*end != '\0')
            return usage();
    }

    const hidplatform::Device device(hidplatform::openByIndex(static_cast<unsigned>(index)));
    if (!device.valid()) {
        std::printf("error\n");
        return 1;
    }
    if (second == "--get-feature")
        return bytes.size() == 1 ? getFeature(device, bytes[0]) : usage();
    if (second == "--set-feature")
        return setFeature(device, bytes);
    return exchange(device, bytes, waitMs);
}
