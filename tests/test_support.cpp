#include "test_support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir()
{
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() /
                             ("hiddfu-test-" + std::to_string(stamp) + "-" +
                              std::to_string(counter++));
        if (fs::create_directory(candidate)) {
            m_dir = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
}

std::string TempDir::path(const std::string& name) const
{
    return (fs::path(m_dir) / name).string();
}

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& path)
{
    Bytes bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string captureOutput(const std::function<void(FILE*)>& print)
{
    FILE* stream = std::tmpfile();
    if (!stream)
        throw std::runtime_error("tmpfile failed");
    print(stream);
    std::fflush(stream);
    std::rewind(stream);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
        text.append(buffer, got);
    std::fclose(stream);
    return text;
}

uint32_t referenceJamCrc(const uint8_t* data, size_t size)
{
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

static void putLE16(Bytes& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

Bytes buildDfuFile(const DfuContents& contents)
{
    Bytes file = contents.payload;
    file.insert(file.end(), contents.aux.begin(), contents.aux.end());
    putLE16(file, contents.bcdDevice);
    putLE16(file, contents.idProduct);
    putLE16(file, contents.idVendor);
    putLE16(file, contents.bcdDFU);
    file.push_back('U');
    file.push_back('F');
    file.push_back('D');
    file.push_back(static_cast<uint8_t>(contents.aux.size() + 16));
    uint32_t crc = referenceJamCrc(file.data(), file.size());
    for (int i = 0; i < 4; ++i)
        file.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    return file;
}

Bytes countingBytes(size_t size, uint8_t first)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

} // namespace testsupport
