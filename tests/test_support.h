// Small helpers shared by the tests: temporary folders, whole-file I/O,
// capturing what a function prints on a FILE*, and DFU files built
// independently of the code under test.
#ifndef HIDDFU_TEST_SUPPORT_H
#define HIDDFU_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& dir() const { return m_dir; }
    std::string path(const std::string& name) const;

private:
    std::string m_dir;
};

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);
std::string readText(const std::string& path);

// Runs `print` with a temporary stream and returns everything it wrote.
std::string captureOutput(const std::function<void(FILE*)>& print);

// The DFU suffix checksum computed bit by bit, with no table: an independent
// reference for the implementation under test.
uint32_t referenceJamCrc(const uint8_t* data, size_t size);

struct DfuContents {
    Bytes payload;
    Bytes aux;
    uint16_t idVendor = 0x1234;
    uint16_t idProduct = 0x5678;
    uint16_t bcdDevice = 0x0100;
    uint16_t bcdDFU = 0x0100;
};

// payload | aux | 16-byte suffix with a correct CRC.
Bytes buildDfuFile(const DfuContents& contents);

// Bytes 0, 1, 2, ... wrapping at 256.
Bytes countingBytes(size_t size, uint8_t first = 0);

} // namespace testsupport

#endif
