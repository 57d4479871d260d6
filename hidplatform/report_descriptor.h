// A HID report descriptor reader: which reports an interface declares and how
// long they are. Portable: it works on the descriptor bytes alone, so the
// Linux backend (which gets the descriptor from hidraw) can report the same
// lengths that HidP_GetCaps reports on Windows.
//
// Lengths follow the report buffers that the platforms pass around: a report
// buffer always starts with the report id byte (0 for a device that does not
// number its reports), so every declared report is its data rounded up to
// whole bytes plus one. A 64-byte vendor report without ids is 65 bytes long,
// as on Windows.
#ifndef REPORT_DESCRIPTOR_H
#define REPORT_DESCRIPTOR_H

#include "hid_platform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hidplatform {

enum class ReportKind : uint8_t { kInput, kOutput, kFeature };

// One report the descriptor declares.
struct ReportInfo {
    ReportKind kind = ReportKind::kInput;
    uint8_t id = 0;         // 0 when the descriptor uses no report ids
    uint32_t dataBits = 0;  // the sum of Report Size x Report Count of its main items

    // The report buffer length: the data rounded up to bytes, plus the id byte.
    uint16_t byteLength() const { return static_cast<uint16_t>((dataBits + 7) / 8 + 1); }
};

struct ReportDescriptorInfo {
    bool usesReportIds = false;
    // Every report with at least one data bit, ordered by kind, then id.
    std::vector<ReportInfo> reports;
    // The longest report of each kind; 0 for a kind the descriptor lacks.
    ReportLengths lengths;

    // The report of that kind and id, or null when the descriptor declares none.
    const ReportInfo* find(ReportKind kind, uint8_t id) const;

    // The feature reports, by ascending id, each with its own length.
    std::vector<FeatureReport> featureReports() const;
};

// Reads the descriptor. False, with *info untouched, when the bytes are not
// a well-formed descriptor: an item that runs past the end, a Report ID of 0
// or above 255, a Pop without a Push, nesting deeper than the reader keeps,
// unbalanced collections, data items outside any report id once ids are in
// use, or a report longer than 65535 bytes. Long items are skipped.
bool parseReportDescriptor(const uint8_t* data, size_t size, ReportDescriptorInfo* info);

} // namespace hidplatform

#endif
