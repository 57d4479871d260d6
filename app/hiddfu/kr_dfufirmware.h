// The in-memory firmware image and the DFU file format: payload, aux data and
// the 16-byte USB DFU suffix with its checksum.
//
// File layout: payload | aux data (0..239 bytes) | suffix (16 bytes).
// The suffix, little-endian: bcdDevice(2) idProduct(2) idVendor(2) bcdDFU(2)
// 'U' 'F' 'D' bLength(1) dwCRC(4); bLength = aux size + 16, and dwCRC covers
// every byte of the file before it.
#ifndef KR_DFUFIRMWARE_H
#define KR_DFUFIRMWARE_H

#include <cstdint>
#include <cstdio>

namespace kr {

class DfuFirmware {
public:
    static const uint16_t kAnyVendorId = 0xFFFF;
    static const uint16_t kAnyProductId = 0xFFFF;
    static const uint16_t kAnyDeviceRelease = 0xFFFF;
    static const uint16_t kMinDFUVersion = 0x0100;
    static const uint16_t kDfuVersion = 0x0100;
    static const uint32_t kMinTrailerLength = 16;
    static const uint32_t kMaxTrailerLength = 255;
    static const uint32_t kMaxFileSize = 0x40000000;
    static const uint32_t kMaxAuxSize = kMaxTrailerLength - kMinTrailerLength;

    DfuFirmware();
    DfuFirmware(const DfuFirmware& other);
    ~DfuFirmware();
    DfuFirmware& operator=(const DfuFirmware& other);

    // Field-by-field comparison; the payload capacity is not compared.
    bool equals(const DfuFirmware& other) const;
    bool operator==(const DfuFirmware& other) const { return equals(other); }
    bool operator!=(const DfuFirmware& other) const { return !equals(other); }

    // Empties the image: no payload, no aux data, default identity fields.
    void clear();

    // Reads a DFU file. Full mode reads the whole file and checks the CRC;
    // trailer-only mode reads at most the last 255 bytes and skips the CRC.
    // Any failure, also no memory for the image, returns false and leaves
    // the image cleared.
    bool load(const char* filename, bool trailerOnly);

    // Writes payload, aux data and a freshly computed suffix.
    bool save(const char* filename) const;

    // Replaces the aux data; false (nothing changed) for a null pointer or
    // more than 239 bytes.
    bool setAuxData(const uint8_t* ptr, uint32_t bytes);

    // Releases the payload buffer; aux data and identity fields stay.
    void erase();

    // Sets the payload length. Growth beyond the capacity reallocates in
    // 8192-byte blocks plus one spare block; the capacity never shrinks.
    void resize(uint32_t newSize, bool setZero);

    void setData(const uint8_t* ptr, uint32_t bytes);
    void append(const uint8_t* ptr, uint32_t bytes);

    uint16_t idVendor() const { return m_idVendor; }
    uint16_t idProduct() const { return m_idProduct; }
    uint16_t deviceRelease() const { return m_deviceRelease; }
    uint16_t version() const { return m_version; }
    const uint8_t* data() const { return m_data; }
    uint8_t* data() { return m_data; }
    uint32_t size() const { return m_size; }
    uint32_t allocSize() const { return m_allocSize; }
    const uint8_t* auxData() const { return m_auxData; }
    uint32_t auxSize() const { return m_auxSize; }

    void setVendorId(uint16_t n) { m_idVendor = n; }
    void setProductId(uint16_t n) { m_idProduct = n; }
    void setDeviceRelease(uint16_t n) { m_deviceRelease = n; }
    void setVersion(uint16_t n) { m_version = n; }

    // Human-readable description: identity fields, sizes, hex dumps of the aux
    // data and the payload, and the CSR DFU header when the payload has one.
    void printDescription(FILE* fh, const char* name, uint32_t linesToShow,
                          uint32_t bytesPerLine) const;

private:
    void printDescriptionData(FILE* fh, const char* name, const uint8_t* byteData,
                              uint32_t byteCount, uint32_t maxLines,
                              uint32_t bytesPerLine) const;

    uint16_t m_version;
    uint16_t m_idVendor;
    uint16_t m_idProduct;
    uint16_t m_deviceRelease;
    uint8_t* m_data;
    uint32_t m_size;
    uint32_t m_allocSize;
    uint8_t* m_auxData;
    uint32_t m_auxSize;
};

} // namespace kr

#endif
