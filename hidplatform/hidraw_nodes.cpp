#include "hidraw_nodes.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <utility>

namespace hidplatform {

namespace {

const char kNodePrefix[] = "hidraw";

// More digits than any minor number the kernel hands out, few enough that the
// value cannot overflow an unsigned int.
const size_t kMaxNodeDigits = 9;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

bool fileHasLine(const std::string& path, const std::string& wanted)
{
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line == wanted)
            return true;
    }
    return false;
}

// A hexadecimal field of at most eight digits, nothing else.
bool parseHexField(const std::string& text, uint32_t* value)
{
    if (text.empty() || text.size() > 8)
        return false;
    uint32_t result = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        result = result * 16 + static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

} // namespace

bool parseHidrawNodeNumber(const std::string& name, unsigned* number)
{
    const size_t prefixLength = sizeof(kNodePrefix) - 1;
    if (name.compare(0, prefixLength, kNodePrefix) != 0)
        return false;
    const std::string digits = name.substr(prefixLength);
    if (digits.empty() || digits.size() > kMaxNodeDigits || (digits[0] == '0' && digits.size() > 1))
        return false;
    unsigned value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    *number = value;
    return true;
}

std::vector<std::string> listHidrawNodes(const std::string& classDir)
{
    std::vector<std::pair<unsigned, std::string>> numbered;
    std::unique_ptr<DIR, DirCloser> dir(opendir(classDir.c_str()));
    if (dir) {
        while (const dirent* entry = readdir(dir.get())) {
            unsigned number = 0;
            if (parseHidrawNodeNumber(entry->d_name, &number))
                numbered.emplace_back(number, entry->d_name);
        }
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> names;
    names.reserve(numbered.size());
    for (auto& node : numbered)
        names.push_back(std::move(node.second));
    return names;
}

std::string findHidrawNodeWithUevent(const std::string& ueventLine, const std::string& classDir)
{
    for (const std::string& node : listHidrawNodes(classDir)) {
        if (fileHasLine(classDir + "/" + node + "/device/uevent", ueventLine))
            return node;
    }
    return std::string();
}

bool parseHidIdLine(const std::string& line, uint16_t* vendorId, uint16_t* productId)
{
    const std::string prefix = "HID_ID=";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return false;
    const size_t firstColon = line.find(':', prefix.size());
    const size_t secondColon = firstColon == std::string::npos ? firstColon : line.find(':', firstColon + 1);
    if (secondColon == std::string::npos)
        return false;
    uint32_t bus = 0;
    uint32_t vendor = 0;
    uint32_t product = 0;
    if (!parseHexField(line.substr(prefix.size(), firstColon - prefix.size()), &bus) ||
        !parseHexField(line.substr(firstColon + 1, secondColon - firstColon - 1), &vendor) ||
        !parseHexField(line.substr(secondColon + 1), &product))
        return false;
    *vendorId = static_cast<uint16_t>(vendor);
    *productId = static_cast<uint16_t>(product);
    return true;
}

bool readHidrawNodeIds(const std::string& node, uint16_t* vendorId, uint16_t* productId,
                       const std::string& classDir)
{
    std::ifstream file(classDir + "/" + node + "/device/uevent");
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, 7, "HID_ID=") == 0)
            return parseHidIdLine(line, vendorId, productId);
    }
    return false;
}

} // namespace hidplatform
