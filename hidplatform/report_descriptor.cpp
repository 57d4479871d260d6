#include "report_descriptor.h"

#include <algorithm>
#include <map>
#include <utility>

namespace hidplatform {

namespace {

// Item types (bits 2-3 of a short item's prefix).
const uint8_t kTypeMain = 0;
const uint8_t kTypeGlobal = 1;

// Main item tags (bits 4-7).
const uint8_t kTagInput = 0x8;
const uint8_t kTagOutput = 0x9;
const uint8_t kTagCollection = 0xA;
const uint8_t kTagFeature = 0xB;
const uint8_t kTagEndCollection = 0xC;

// Global item tags that bear on report lengths.
const uint8_t kTagReportSize = 0x7;
const uint8_t kTagReportId = 0x8;
const uint8_t kTagReportCount = 0x9;
const uint8_t kTagPush = 0xA;
const uint8_t kTagPop = 0xB;

const uint8_t kLongItemPrefix = 0xFE;

// Deeper than any descriptor the Linux kernel accepts (it keeps 4).
const size_t kMaxPushDepth = 8;

// A report buffer length must fit the 16-bit fields of ReportLengths,
// id byte included.
const uint64_t kMaxReportDataBits = (0xFFFFu - 1) * 8ull;

// The global items a Push saves and a Pop restores.
struct GlobalState {
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint8_t reportId = 0;
};

struct ShortItem {
    uint8_t type;
    uint8_t tag;
    uint32_t value;  // the item data, little-endian, unsigned
    size_t dataSize;
};

// Decodes the short item at data[pos]; false when its data runs past the end.
bool readShortItem(const uint8_t* data, size_t size, size_t pos, ShortItem* item)
{
    const uint8_t prefix = data[pos];
    const uint8_t sizeCode = prefix & 0x3;
    const size_t dataSize = sizeCode == 3 ? 4 : sizeCode;
    if (size - pos - 1 < dataSize)
        return false;
    uint32_t value = 0;
    for (size_t i = 0; i < dataSize; ++i)
        value |= static_cast<uint32_t>(data[pos + 1 + i]) << (8 * i);
    item->type = (prefix >> 2) & 0x3;
    item->tag = prefix >> 4;
    item->value = value;
    item->dataSize = dataSize;
    return true;
}

// Walks the items and adds up the data bits of each (kind, id).
class DescriptorWalker {
public:
    bool walk(const uint8_t* data, size_t size)
    {
        size_t pos = 0;
        while (pos < size) {
            if (data[pos] == kLongItemPrefix) {
                // Long item: prefix, data size, tag, data. No long item tag is
                // defined, so it carries nothing that counts here.
                if (size - pos < 3 || size - pos - 3 < data[pos + 1])
                    return false;
                pos += 3 + static_cast<size_t>(data[pos + 1]);
                continue;
            }
            ShortItem item;
            if (!readShortItem(data, size, pos, &item) || !apply(item))
                return false;
            pos += 1 + item.dataSize;
        }
        return m_collectionDepth == 0;
    }

    bool usesReportIds() const { return m_usesReportIds; }
    const std::map<std::pair<ReportKind, uint8_t>, uint64_t>& bits() const { return m_bits; }

private:
    bool apply(const ShortItem& item)
    {
        if (item.type == kTypeMain)
            return applyMain(item);
        if (item.type == kTypeGlobal)
            return applyGlobal(item);
        return true;  // local and reserved items say nothing about lengths
    }

    bool applyMain(const ShortItem& item)
    {
        switch (item.tag) {
        case kTagInput:
            return addData(ReportKind::kInput);
        case kTagOutput:
            return addData(ReportKind::kOutput);
        case kTagFeature:
            return addData(ReportKind::kFeature);
        case kTagCollection:
            ++m_collectionDepth;
            return true;
        case kTagEndCollection:
            if (m_collectionDepth == 0)
                return false;
            --m_collectionDepth;
            return true;
        default:
            return true;  // reserved main items are ignored, as the kernel does
        }
    }

    bool applyGlobal(const ShortItem& item)
    {
        switch (item.tag) {
        case kTagReportSize:
            m_state.reportSize = item.value;
            return true;
        case kTagReportCount:
            m_state.reportCount = item.value;
            return true;
        case kTagReportId:
            return setReportId(item.value);
        case kTagPush:
            if (m_stack.size() >= kMaxPushDepth)
                return false;
            m_stack.push_back(m_state);
            return true;
        case kTagPop:
            if (m_stack.empty())
                return false;
            m_state = m_stack.back();
            m_stack.pop_back();
            return true;
        default:
            return true;
        }
    }

    bool setReportId(uint32_t id)
    {
        // Data declared before the first Report ID would travel without an id
        // byte while the others carry one: no consistent report format.
        if (id == 0 || id > 0xFF || m_unnumberedData)
            return false;
        m_state.reportId = static_cast<uint8_t>(id);
        m_usesReportIds = true;
        return true;
    }

    bool addData(ReportKind kind)
    {
        const uint64_t bits = static_cast<uint64_t>(m_state.reportSize) * m_state.reportCount;
        if (bits == 0)
            return true;
        if (m_state.reportId == 0) {
            // Only reachable with ids in use through a Pop back to a state
            // saved before the first Report ID.
            if (m_usesReportIds)
                return false;
            m_unnumberedData = true;
        }
        if (bits > kMaxReportDataBits)
            return false;
        uint64_t& total = m_bits[{kind, m_state.reportId}];
        total += bits;
        return total <= kMaxReportDataBits;
    }

    GlobalState m_state;
    std::vector<GlobalState> m_stack;
    size_t m_collectionDepth = 0;
    bool m_usesReportIds = false;
    bool m_unnumberedData = false;
    std::map<std::pair<ReportKind, uint8_t>, uint64_t> m_bits;
};

uint16_t* lengthOfKind(ReportLengths* lengths, ReportKind kind)
{
    switch (kind) {
    case ReportKind::kInput:
        return &lengths->input;
    case ReportKind::kOutput:
        return &lengths->output;
    case ReportKind::kFeature:
        break;
    }
    return &lengths->feature;
}

} // namespace

std::vector<FeatureReport> ReportDescriptorInfo::featureReports() const
{
    std::vector<FeatureReport> features;
    for (const ReportInfo& report : reports) {
        if (report.kind == ReportKind::kFeature)
            features.push_back(FeatureReport{report.id, report.byteLength()});
    }
    return features;
}

const ReportInfo* ReportDescriptorInfo::find(ReportKind kind, uint8_t id) const
{
    for (const ReportInfo& report : reports) {
        if (report.kind == kind && report.id == id)
            return &report;
    }
    return nullptr;
}

bool parseReportDescriptor(const uint8_t* data, size_t size, ReportDescriptorInfo* info)
{
    if (data == nullptr && size != 0)
        return false;
    DescriptorWalker walker;
    if (!walker.walk(data, size))
        return false;

    ReportDescriptorInfo result;
    result.usesReportIds = walker.usesReportIds();
    for (const auto& entry : walker.bits()) {
        ReportInfo report;
        report.kind = entry.first.first;
        report.id = entry.first.second;
        report.dataBits = static_cast<uint32_t>(entry.second);
        result.reports.push_back(report);
        uint16_t* longest = lengthOfKind(&result.lengths, report.kind);
        *longest = std::max(*longest, report.byteLength());
    }
    *info = std::move(result);
    return true;
}

} // namespace hidplatform
