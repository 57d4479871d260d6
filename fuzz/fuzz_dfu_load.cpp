// libFuzzer target: the fuzzer's bytes as a DFU file, loaded by
// kr::DfuFirmware in full mode and in trailer-only mode. Each result is
// checked against the format read directly from the bytes here, so a load
// that accepts what it should refuse (or the reverse) is caught as well as
// any memory error. A file that loads is also described (into /dev/null),
// copied, and saved again, which must give back the very same bytes.
#include "kr_crc32.h"
#include "kr_dfufirmware.h"
#include "kr_endian.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_dfu_load: invariant violated: %s\n", what);
        std::abort();
    }
}

// Two scratch files for the whole process, removed when it exits.
class ScratchFiles {
public:
    ScratchFiles() : m_input(make("input")), m_saved(make("saved")) {}
    ~ScratchFiles()
    {
        unlink(m_input.c_str());
        unlink(m_saved.c_str());
    }
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;

    const char* input() const { return m_input.c_str(); }
    const char* saved() const { return m_saved.c_str(); }

private:
    static std::string make(const char* role)
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fuzz_dfu_load." +
                              role + ".XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        require(fd >= 0, "a scratch file can be made");
        close(fd);
        return name.data();
    }

    std::string m_input;
    std::string m_saved;
};

// Where descriptions go: opened once, closed at exit.
FILE* nullStream()
{
    struct NullStream {
        FILE* file = std::fopen("/dev/null", "w");
        ~NullStream()
        {
            if (file)
                std::fclose(file);
        }
    };
    static NullStream stream;
    require(stream.file != nullptr, "/dev/null opens");
    return stream.file;
}

void writeFile(const char* path, const uint8_t* data, size_t size)
{
    FILE* file = std::fopen(path, "wb");
    require(file != nullptr, "the scratch file opens for writing");
    bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    bool closed = std::fclose(file) == 0;
    require(written && closed, "the scratch file is written");
}

Bytes readFile(const char* path)
{
    Bytes bytes;
    FILE* file = std::fopen(path, "rb");
    require(file != nullptr, "the saved file opens for reading");
    uint8_t chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(file);
    return bytes;
}

// What a load must find, worked out from the bytes alone: the checksum by
// the table, one byte at a time.
struct Expected {
    bool loads = false;
    uint16_t version = 0, idVendor = 0, idProduct = 0, bcdDevice = 0;
    const uint8_t* aux = nullptr;
    uint32_t auxSize = 0;
    uint32_t payloadSize = 0;
};

Expected expectedLoad(const uint8_t* data, size_t size, bool trailerOnly)
{
    Expected expected;
    if (size < kr::DfuFirmware::kMinTrailerLength || size > kr::DfuFirmware::kMaxFileSize)
        return expected;
    const size_t window = trailerOnly ? std::min<size_t>(size, kr::DfuFirmware::kMaxTrailerLength)
                                      : size;
    const uint8_t* end = data + size;
    const uint32_t bLength = end[-5];
    if (bLength < kr::DfuFirmware::kMinTrailerLength || bLength > window)
        return expected;
    if (end[-8] != 'U' || end[-7] != 'F' || end[-6] != 'D')
        return expected;
    const uint8_t* suffix = end - kr::DfuFirmware::kMinTrailerLength;
    expected.version = kr_EndianReadLittleU16(suffix, 6);
    if (expected.version < kr::DfuFirmware::kMinDFUVersion)
        return expected;
    if (!trailerOnly) {
        kr::CRC32 crc;
        for (size_t i = 0; i + 4 < size; ++i)
            crc.update(data[i]);
        if (crc.accumulator() != kr_EndianReadLittleU32(suffix, 12))
            return expected;
    }
    expected.loads = true;
    expected.bcdDevice = kr_EndianReadLittleU16(suffix, 0);
    expected.idProduct = kr_EndianReadLittleU16(suffix, 2);
    expected.idVendor = kr_EndianReadLittleU16(suffix, 4);
    expected.auxSize = bLength - kr::DfuFirmware::kMinTrailerLength;
    expected.aux = end - bLength;
    expected.payloadSize = trailerOnly ? 0 : static_cast<uint32_t>(size - bLength);
    return expected;
}

void requireCleared(const kr::DfuFirmware& image)
{
    require(image.version() == kr::DfuFirmware::kDfuVersion &&
                image.idVendor() == kr::DfuFirmware::kAnyVendorId &&
                image.idProduct() == kr::DfuFirmware::kAnyProductId &&
                image.deviceRelease() == kr::DfuFirmware::kAnyDeviceRelease,
            "a failed load resets the identity fields");
    require(image.size() == 0 && image.allocSize() == 0 && image.data() == nullptr,
            "a failed load leaves no payload buffer");
    require(image.auxSize() == 0 && image.auxData() == nullptr,
            "a failed load leaves no aux data");
}

void requireMatches(const kr::DfuFirmware& image, const Expected& expected, const uint8_t* data)
{
    require(image.version() == expected.version && image.idVendor() == expected.idVendor &&
                image.idProduct() == expected.idProduct &&
                image.deviceRelease() == expected.bcdDevice,
            "the identity fields are the suffix's");
    require(image.size() == expected.payloadSize, "the payload size is file size - bLength");
    require(image.size() <= image.allocSize(), "the payload fits its buffer");
    require(image.size() == 0 || std::memcmp(image.data(), data, image.size()) == 0,
            "the payload is the start of the file");
    require(image.auxSize() == expected.auxSize, "the aux size is bLength - 16");
    require(image.auxSize() == 0 ||
                std::memcmp(image.auxData(), expected.aux, image.auxSize()) == 0,
            "the aux data is the bytes before the suffix");
}

// A file that loads in full: describe it, copy it, save it again.
void exerciseLoadedImage(const kr::DfuFirmware& image, const uint8_t* data, size_t size,
                         const ScratchFiles& files)
{
    image.printDescription(nullStream(), "fuzz", 8, 32);
    image.printDescription(nullStream(), "fuzz", 1000, 7);

    kr::DfuFirmware copy(image);
    require(copy.equals(image) && copy == image, "a copy equals its original");

    require(image.save(files.saved()), "a loaded image saves");
    Bytes saved = readFile(files.saved());
    require(saved.size() == size && std::memcmp(saved.data(), data, size) == 0,
            "saving a loaded image writes back the same bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static ScratchFiles files;
    writeFile(files.input(), data, size);

    kr::DfuFirmware image;
    const Expected full = expectedLoad(data, size, false);
    const bool fullLoaded = image.load(files.input(), false);
    require(fullLoaded == full.loads, "full load accepts exactly the valid files");
    if (fullLoaded) {
        requireMatches(image, full, data);
        require(image.size() + image.auxSize() + 16 == size,
                "payload + aux data + suffix is the whole file");
        exerciseLoadedImage(image, data, size, files);
    } else {
        requireCleared(image);
    }

    // The same image again, now trailer-only: a failure must also drop what
    // the full load left in it.
    const Expected trailer = expectedLoad(data, size, true);
    const bool trailerLoaded = image.load(files.input(), true);
    require(trailerLoaded == trailer.loads, "trailer-only load accepts exactly the valid trailers");
    require(!fullLoaded || trailerLoaded, "whatever loads in full loads trailer-only");
    if (trailerLoaded) {
        requireMatches(image, trailer, data);
        image.printDescription(nullStream(), "fuzz", 8, 32);
    } else {
        requireCleared(image);
    }
    return 0;
}
