#include "kr_dfufirmware.h"
#include "kr_crc32.h"
#include "kr_endian.h"
#include "kr_memoryhint.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#ifndef S_ISREG
#define S_ISREG(mode) (((mode) & S_IFMT) == S_IFREG)
#endif

namespace kr {

// Out-of-class definitions, so that the constants can be bound to references
// (std::min, test assertions) without a missing symbol at link time.
const uint16_t DfuFirmware::kAnyVendorId;
const uint16_t DfuFirmware::kAnyProductId;
const uint16_t DfuFirmware::kAnyDeviceRelease;
const uint16_t DfuFirmware::kMinDFUVersion;
const uint16_t DfuFirmware::kDfuVersion;
const uint32_t DfuFirmware::kMinTrailerLength;
const uint32_t DfuFirmware::kMaxTrailerLength;
const uint32_t DfuFirmware::kMaxFileSize;
const uint32_t DfuFirmware::kMaxAuxSize;

namespace {

// Suffix field offsets from the start of the 16-byte suffix.
constexpr size_t kSuffixDeviceRelease = 0;
constexpr size_t kSuffixProduct = 2;
constexpr size_t kSuffixVendor = 4;
constexpr size_t kSuffixDfuVersion = 6;
constexpr size_t kSuffixSignature = 8;
constexpr size_t kSuffixLengthByte = 11;
constexpr size_t kSuffixCrc = 12;
constexpr uint8_t kSignature[3] = {'U', 'F', 'D'};

// The payload capacity grows in blocks of this size plus one spare block.
constexpr uint32_t kBlockSize = 8192;
// The largest payload whose capacity still fits 32 bits.
constexpr uint32_t kLargestPayload = 0xFFFFC000u;

// A full load reads the file in chunks of this size through a small staging
// buffer: each chunk is checksummed while it is hot in cache, then copied
// into the payload buffer. Reading straight into the payload and
// checksumming it there touches every fresh payload page twice (once by the
// kernel, once by the checksum), which costs a second page fault per page on
// virtual machines that keep separate kernel and user page tables; going
// through the staging buffer costs one copy instead, close to the price of
// the read alone on any machine.
constexpr uint32_t kReadChunk = 1u << 20;

// A CSR DFU header is recognised by these characters at the payload start.
constexpr uint32_t kCSRHdrLen = 100;
constexpr char kCsrMarker[] = "CSR-dfu";
constexpr size_t kCsrMarkerLength = sizeof kCsrMarker - 1;

// The aux data is short enough to be dumped whole, whatever the caller asks.
constexpr uint32_t kAuxLinesToShow = 32;
// Blocks with at most this many full lines use the compact dump layout.
constexpr uint32_t kMaxCompactLines = 16;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool isRegularPath(const char* path)
{
    struct stat info;
    return ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

int descriptorOf(FILE* file)
{
#ifdef _WIN32
    return _fileno(file);
#else
    return fileno(file);
#endif
}

bool isRegularStream(FILE* file)
{
    struct stat info;
    return ::fstat(descriptorOf(file), &info) == 0 && S_ISREG(info.st_mode);
}

// Opens a regular file for binary reading. Opening a FIFO would block until a
// writer shows up, and directories and devices are not DFU files, so the kind
// is checked on the path first and once more on the open stream, in case the
// path was replaced in between.
FilePtr openRegularFile(const char* filename)
{
    if (!filename || !isRegularPath(filename))
        return nullptr;
    FilePtr file(std::fopen(filename, "rb"));
    if (file && !isRegularStream(file.get()))
        file.reset();
    return file;
}

// The file size, when it lies within the bounds a DFU file may have. A size
// that cannot be determined counts as too large.
bool measureFileSize(FILE* file, uint32_t& size)
{
    if (std::fseek(file, 0, SEEK_END) != 0)
        return false;
    const long end = std::ftell(file);
    if (end < static_cast<long>(DfuFirmware::kMinTrailerLength) ||
        end > static_cast<long>(DfuFirmware::kMaxFileSize))
        return false;
    size = static_cast<uint32_t>(end);
    return true;
}

// Reads the first `length` bytes of the file into `buffer` and feeds the first
// `checksummed` of them into `crc`. Then the file must be at its end: a file
// that grew, or whose size was misreported, is not the one that was measured.
bool readWholeFile(FILE* file, uint8_t* buffer, uint32_t length, uint32_t checksummed,
                   CRC32& crc)
{
    if (std::fseek(file, 0, SEEK_SET) != 0)
        return false;
    std::vector<uint8_t> staging(std::min(length, kReadChunk));
    for (uint32_t done = 0; done < length;) {
        const uint32_t chunk = std::min(length - done, kReadChunk);
        if (std::fread(staging.data(), 1, chunk, file) != chunk)
            return false;
        if (done < checksummed)
            crc.update(staging.data(), std::min(chunk, checksummed - done));
        std::memcpy(buffer + done, staging.data(), chunk);
        done += chunk;
    }
    return std::fgetc(file) == EOF;
}

bool readFileTail(FILE* file, uint8_t* buffer, uint32_t length)
{
    return std::fseek(file, -static_cast<long>(length), SEEK_END) == 0 &&
           std::fread(buffer, 1, length, file) == length;
}

struct Suffix {
    uint16_t deviceRelease;
    uint16_t idProduct;
    uint16_t idVendor;
    uint16_t dfuVersion;
    uint32_t trailerLength;
    uint32_t crc;
};

// Decodes and validates the suffix at the end of the `count` bytes read.
bool parseSuffix(const uint8_t* bytes, uint32_t count, Suffix& suffix)
{
    if (count < DfuFirmware::kMinTrailerLength)
        return false;
    const uint8_t* fields = bytes + count - DfuFirmware::kMinTrailerLength;
    suffix.trailerLength = fields[kSuffixLengthByte];
    if (suffix.trailerLength < DfuFirmware::kMinTrailerLength || suffix.trailerLength > count)
        return false;
    if (std::memcmp(fields + kSuffixSignature, kSignature, sizeof kSignature) != 0)
        return false;
    suffix.dfuVersion = kr_EndianReadLittleU16(fields, kSuffixDfuVersion);
    if (suffix.dfuVersion < DfuFirmware::kMinDFUVersion)
        return false;
    suffix.idVendor = kr_EndianReadLittleU16(fields, kSuffixVendor);
    suffix.idProduct = kr_EndianReadLittleU16(fields, kSuffixProduct);
    suffix.deviceRelease = kr_EndianReadLittleU16(fields, kSuffixDeviceRelease);
    suffix.crc = kr_EndianReadLittleU32(fields, kSuffixCrc);
    return true;
}

// Fills a cleared image from the file. On false the image holds a partial
// result that the caller clears.
bool loadInto(DfuFirmware& image, const char* filename, bool trailerOnly)
{
    FilePtr file = openRegularFile(filename);
    if (!file)
        return false;
    uint32_t fileSize = 0;
    if (!measureFileSize(file.get(), fileSize))
        return false;

    const uint32_t length =
        trailerOnly ? std::min(fileSize, DfuFirmware::kMaxTrailerLength) : fileSize;
    const uint32_t crcLength = length - static_cast<uint32_t>(sizeof(uint32_t));
    image.resize(length, false);
    uint8_t* buffer = image.data();
    CRC32 crc;
    const bool haveBytes = trailerOnly
                               ? readFileTail(file.get(), buffer, length)
                               : readWholeFile(file.get(), buffer, length, crcLength, crc);
    Suffix suffix;
    if (!haveBytes || !parseSuffix(buffer, length, suffix))
        return false;
    if (!trailerOnly && crc.accumulator() != suffix.crc)
        return false;

    image.setVersion(suffix.dfuVersion);
    image.setVendorId(suffix.idVendor);
    image.setProductId(suffix.idProduct);
    image.setDeviceRelease(suffix.deviceRelease);
    const uint8_t* trailer = buffer + length - suffix.trailerLength;
    image.setAuxData(trailer, suffix.trailerLength - DfuFirmware::kMinTrailerLength);
    image.resize(trailerOnly ? 0 : length - suffix.trailerLength, true);
    return true;
}

bool writeAll(FILE* file, const uint8_t* bytes, uint32_t count)
{
    return count == 0 || std::fwrite(bytes, 1, count, file) == count;
}

// Resizes the payload to `newSize` and copies `bytes` bytes from `source` to
// payload offset `at`. The source may lie in the image's own buffer, which the
// resize can move: its offset is taken first, and the copy allows overlap.
void resizeAndCopy(DfuFirmware& image, uint32_t newSize, uint32_t at, const uint8_t* source,
                   uint32_t bytes)
{
    const std::less<const uint8_t*> before{};
    const uint8_t* buffer = image.data();
    const bool inOwnBuffer =
        buffer && !before(source, buffer) && before(source, buffer + image.allocSize());
    const size_t sourceOffset = inOwnBuffer ? static_cast<size_t>(source - buffer) : 0;
    image.resize(newSize, false);
    if (inOwnBuffer)
        source = image.data() + sourceOffset;
    if (bytes > 0)
        std::memmove(image.data() + at, source, bytes);
}

// (ceil(newSize / 8192) + 1) * 8192 in 32-bit arithmetic. Beyond
// kLargestPayload the result would wrap, so such a size cannot be allocated.
uint32_t capacityFor(uint32_t newSize)
{
    if (newSize > kLargestPayload)
        throw std::bad_alloc();
    const uint32_t blocks = newSize / kBlockSize + (newSize % kBlockSize != 0 ? 1 : 0);
    return (blocks + 1) * kBlockSize;
}

char printable(uint8_t byte)
{
    return byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
}

void printCharacters(FILE* fh, const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        std::fputc(printable(bytes[i]), fh);
}

bool hasCsrHeader(const uint8_t* payload, uint32_t size)
{
    return payload && size >= kCSRHdrLen &&
           std::memcmp(payload, kCsrMarker, kCsrMarkerLength) == 0;
}

void printCsrHeader(FILE* fh, const uint8_t* header, uint32_t payloadSize)
{
    const uint32_t fileLength = kr_EndianReadLittleU32(header, 10);
    std::fputs("  CSR file id:     ", fh);
    printCharacters(fh, header, 8);
    std::fputs("\n", fh);
    std::fprintf(fh, "  CSR file vers:   0x%04x\n",
                 static_cast<unsigned>(kr_EndianReadLittleU16(header, 8)));
    std::fprintf(fh, "  CSR file len:    0x%04x%s\n", static_cast<unsigned>(fileLength),
                 fileLength != payloadSize ? " Note: does not match firmware data size" : "");
    std::fprintf(fh, "  CSR hdr len:     0x%04x\n",
                 static_cast<unsigned>(kr_EndianReadLittleU16(header, 14)));
    std::fputs("  CSR file desc:   ", fh);
    printCharacters(fh, header + 16, 64);
    std::fputs("\n", fh);
}

} // namespace

DfuFirmware::DfuFirmware()
    : m_version(kDfuVersion),
      m_idVendor(kAnyVendorId),
      m_idProduct(kAnyProductId),
      m_deviceRelease(kAnyDeviceRelease),
      m_data(nullptr),
      m_size(0),
      m_allocSize(0),
      m_auxData(nullptr),
      m_auxSize(0)
{
}

DfuFirmware::DfuFirmware(const DfuFirmware& other) : DfuFirmware()
{
    *this = other;
}

DfuFirmware::~DfuFirmware()
{
    std::free(m_data);
    std::free(m_auxData);
}

DfuFirmware& DfuFirmware::operator=(const DfuFirmware& other)
{
    // Clearing first would release the very buffers a self-assignment copies.
    if (this == &other)
        return *this;
    clear();
    setVersion(other.version());
    setVendorId(other.idVendor());
    setProductId(other.idProduct());
    setDeviceRelease(other.deviceRelease());
    setData(other.data(), other.size());
    setAuxData(other.auxData(), other.auxSize());
    return *this;
}

bool DfuFirmware::equals(const DfuFirmware& other) const
{
    return m_version == other.m_version && m_idVendor == other.m_idVendor &&
           m_idProduct == other.m_idProduct && m_deviceRelease == other.m_deviceRelease &&
           m_size == other.m_size && m_auxSize == other.m_auxSize &&
           (m_size == 0 || std::memcmp(m_data, other.m_data, m_size) == 0) &&
           (m_auxSize == 0 || std::memcmp(m_auxData, other.m_auxData, m_auxSize) == 0);
}

void DfuFirmware::clear()
{
    erase();
    std::free(m_auxData);
    m_auxData = nullptr;
    m_auxSize = 0;
    m_version = kDfuVersion;
    m_idVendor = kAnyVendorId;
    m_idProduct = kAnyProductId;
    m_deviceRelease = kAnyDeviceRelease;
}

bool DfuFirmware::load(const char* filename, bool trailerOnly)
{
    clear();
    bool loaded = false;
    try {
        loaded = loadInto(*this, filename, trailerOnly);
    } catch (const std::bad_alloc&) {
        // A file whose image cannot be held in memory cannot be loaded.
        loaded = false;
    }
    if (!loaded)
        clear();
    return loaded;
}

bool DfuFirmware::save(const char* filename) const
{
    if (!filename)
        return false;
    FilePtr file(std::fopen(filename, "wb"));
    if (!file)
        return false;
    if (!writeAll(file.get(), m_data, m_size) || !writeAll(file.get(), m_auxData, m_auxSize))
        return false;

    uint8_t suffix[kMinTrailerLength] = {};
    kr_EndianWriteLittleU16(suffix, kSuffixDeviceRelease, m_deviceRelease);
    kr_EndianWriteLittleU16(suffix, kSuffixProduct, m_idProduct);
    kr_EndianWriteLittleU16(suffix, kSuffixVendor, m_idVendor);
    kr_EndianWriteLittleU16(suffix, kSuffixDfuVersion, m_version);
    std::memcpy(suffix + kSuffixSignature, kSignature, sizeof kSignature);
    suffix[kSuffixLengthByte] = static_cast<uint8_t>(m_auxSize + kMinTrailerLength);

    CRC32 crc;
    crc.update(m_data, m_size);
    crc.update(m_auxData, m_auxSize);
    crc.update(suffix, kSuffixCrc);
    kr_EndianWriteLittleU32(suffix, kSuffixCrc, crc.accumulator());
    if (!writeAll(file.get(), suffix, sizeof suffix))
        return false;
    // Buffered bytes only reach the file when it is closed; a failure there
    // (a full disk, say) means the file is incomplete.
    return std::fclose(file.release()) == 0;
}

bool DfuFirmware::setAuxData(const uint8_t* ptr, uint32_t bytes)
{
    if (!ptr || bytes > kMaxAuxSize)
        return false;
    // Copy before releasing the old buffer: `ptr` may point into it.
    uint8_t* copy = nullptr;
    if (bytes > 0) {
        copy = static_cast<uint8_t*>(std::malloc(bytes));
        if (!copy)
            throw std::bad_alloc();
        std::memcpy(copy, ptr, bytes);
    }
    std::free(m_auxData);
    m_auxData = copy;
    m_auxSize = bytes;
    return true;
}

void DfuFirmware::erase()
{
    std::free(m_data);
    m_data = nullptr;
    m_size = 0;
    m_allocSize = 0;
}

void DfuFirmware::resize(uint32_t newSize, bool setZero)
{
    if (newSize <= m_size) {
        m_size = newSize;
        return;
    }
    if (newSize > m_allocSize) {
        const uint32_t capacity = capacityFor(newSize);
        void* grown = std::realloc(m_data, capacity);
        if (!grown)
            throw std::bad_alloc();
        m_data = static_cast<uint8_t*>(grown);
        m_allocSize = capacity;
        adviseLargeBuffer(m_data, capacity);
    }
    if (setZero)
        std::memset(m_data + m_size, 0, newSize - m_size);
    m_size = newSize;
}

// A null `ptr` counts as an empty source.
void DfuFirmware::setData(const uint8_t* ptr, uint32_t bytes)
{
    if (!ptr)
        bytes = 0;
    // Every byte of the new payload is copied over, so no zero fill is needed.
    resizeAndCopy(*this, bytes, 0, ptr, bytes);
}

// A null `ptr` counts as an empty source.
void DfuFirmware::append(const uint8_t* ptr, uint32_t bytes)
{
    if (!ptr || bytes == 0)
        return;
    if (bytes > kLargestPayload - m_size)
        throw std::bad_alloc();
    resizeAndCopy(*this, m_size + bytes, m_size, ptr, bytes);
}

void DfuFirmware::printDescription(FILE* fh, const char* name, uint32_t linesToShow,
                                   uint32_t bytesPerLine) const
{
    std::fprintf(fh, "Firmware object @ %p: %s\n", static_cast<const void*>(this),
                 name ? name : "");
    std::fprintf(fh, "  VendorID:        0x%04x\n", static_cast<unsigned>(m_idVendor));
    std::fprintf(fh, "  ProductID:       0x%04x\n", static_cast<unsigned>(m_idProduct));
    std::fprintf(fh, "  DeviceRelease:   0x%04x\n", static_cast<unsigned>(m_deviceRelease));
    std::fprintf(fh, "  Aux data size:   %u bytes\n", static_cast<unsigned>(m_auxSize));
    printDescriptionData(fh, "AuxData", m_auxData, m_auxSize, kAuxLinesToShow, bytesPerLine);
    std::fprintf(fh, "  Firmware size:   %u bytes\n", static_cast<unsigned>(m_size));
    printDescriptionData(fh, "Firmware", m_data, m_size, linesToShow, bytesPerLine);
    if (hasCsrHeader(m_data, m_size))
        printCsrHeader(fh, m_data, m_size);
}

// Blocks of up to 16 full lines start on the label's line, and each further
// line starts with ": ". Longer blocks put the label on a line of its own and
// give each line its offset, padding a short last line so that the text
// column lines up.
void DfuFirmware::printDescriptionData(FILE* fh, const char* name, const uint8_t* byteData,
                                       uint32_t byteCount, uint32_t maxLines,
                                       uint32_t bytesPerLine) const
{
    if (!byteData || byteCount == 0 || bytesPerLine == 0 || maxLines == 0)
        return;
    const bool compact = byteCount / bytesPerLine <= kMaxCompactLines;
    std::fprintf(fh, "    %s", name);
    if (!compact)
        std::fputs("\n", fh);

    uint32_t remaining = byteCount;
    for (uint32_t line = 0; line < maxLines && remaining > 0; ++line) {
        if (compact)
            std::fputs(": ", fh);
        else
            std::fprintf(fh, "        %08x: ", static_cast<unsigned>(line * bytesPerLine));
        const uint32_t count = std::min(bytesPerLine, remaining);
        for (uint32_t i = 0; i < count; ++i)
            std::fprintf(fh, " %02x", static_cast<unsigned>(byteData[i]));
        if (!compact)
            for (uint32_t missing = count; missing < bytesPerLine; ++missing)
                std::fputs("   ", fh);
        std::fputs(" : ", fh);
        printCharacters(fh, byteData, count);
        std::fputs("\n", fh);
        byteData += count;
        remaining -= count;
    }
    if (remaining > 0)
        std::fprintf(fh, "        (%u of %u bytes not shown)\n", static_cast<unsigned>(remaining),
                     static_cast<unsigned>(byteCount));
}

} // namespace kr
