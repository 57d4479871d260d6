// libFuzzer target: the device core driven with random feature report
// sequences, as a hostile host would send them, with the firmware's
// callbacks finishing at once, failing, or staying pending until a later
// step completes them. After every step the invariants are checked:
//   - the state is one the core may be in, and dfuERROR goes with a status
//     other than OK (and only then);
//   - every write continues the image at the next offset (offset 0 starts a
//     new one), holds 1..transfer size bytes, exactly the data of the DNLOAD
//     that caused it, and happens only during that DNLOAD;
//   - manifestation covers exactly the bytes written, and happens only
//     during a GETSTATUS;
//   - answers have the report's length and a valid state.
// Reading or writing out of bounds is the sanitizers' part: every report
// and the transfer buffer are heap blocks of their exact size.
#include "hiddfu_device.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void violated(const char* what)
{
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what)
{
    if (!condition)
        violated(what);
}

// The input, read byte by byte; zeros once it is used up.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_at >= m_size; }
    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | (byte() << 8)); }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// The firmware: what the core asked of it, checked as it happens.
struct Firmware {
    uint16_t transferSize = 1;
    uint32_t written = 0;       // bytes of the current image
    bool pending = false;       // a write or manifestation not yet completed
    int nextResult = 0;         // what the next callback returns
    const uint8_t* dnloadData = nullptr;  // the data of the DNLOAD being handled
    uint16_t dnloadLength = 0;
    bool inGetStatus = false;
    bool writeSeen = false;

    static Firmware& of(void* user) { return *static_cast<Firmware*>(user); }

    static int write(void* user, uint32_t offset, const uint8_t* data, uint16_t length)
    {
        Firmware& f = of(user);
        check(f.dnloadData != nullptr, "write outside a DNLOAD");
        check(!f.pending, "write while an operation is pending");
        check(length >= 1 && length <= f.transferSize, "write length outside 1..transfer size");
        check(length == f.dnloadLength, "write length is not the DNLOAD's");
        check(std::memcmp(data, f.dnloadData, length) == 0, "written bytes differ from the DNLOAD's");
        if (offset == 0)
            f.written = 0;
        check(offset == f.written, "write not at the next offset");
        f.written += length;
        f.writeSeen = true;
        return f.take();
    }
    static int manifest(void* user, uint32_t length)
    {
        Firmware& f = of(user);
        check(f.inGetStatus, "manifestation outside GETSTATUS");
        check(!f.pending, "manifestation while an operation is pending");
        check(length == f.written && length > 0, "manifestation of other bytes than were written");
        f.written = 0;
        return f.take();
    }
    static void detach(void* user, uint16_t) { of(user).pending = false; }

    int take()
    {
        const int result = nextResult;
        pending = result == HIDDFU_DEV_PENDING;
        return result;
    }
};

bool validState(uint8_t state)
{
    return state >= HIDDFU_STATE_DFU_IDLE && state <= HIDDFU_STATE_DFU_ERROR &&
           state != HIDDFU_STATE_UPLOAD_IDLE;
}

void checkCore(const hiddfu_dev& dev, const Firmware& firmware)
{
    const uint8_t state = hiddfu_dev_state(&dev);
    const uint8_t status = hiddfu_dev_status(&dev);
    check(validState(state), "state out of range");
    check(status <= HIDDFU_STATUS_LAST, "status out of range");
    check((state == HIDDFU_STATE_DFU_ERROR) == (status != HIDDFU_STATUS_OK),
          "dfuERROR without a status, or a status outside dfuERROR");
    check(hiddfu_dev_pending(&dev) == (firmware.pending ? 1 : 0), "core and firmware disagree on pending");
    if (state == HIDDFU_STATE_DNLOAD_IDLE || state == HIDDFU_STATE_MANIFEST_SYNC)
        check(hiddfu_dev_downloaded(&dev) == firmware.written, "core and firmware disagree on the image length");
    if (state == HIDDFU_STATE_DNBUSY || state == HIDDFU_STATE_MANIFEST)
        check(firmware.pending, "busy state without a pending operation");
}

// What the next callback returns: mostly success, sometimes pending, now and
// then a failure or a number out of range.
int pickResult(uint8_t choice)
{
    switch (choice % 8) {
    case 0: case 1: case 2: return HIDDFU_STATUS_OK;
    case 3: case 4: return HIDDFU_DEV_PENDING;
    case 5: return choice >> 3;  // 0..31: any status and beyond
    case 6: return -1;
    default: return HIDDFU_STATUS_OK;
    }
}

// A request report: header and data as chosen, in a heap block of exactly
// the chosen length. A plausible one is well formed and mostly carries the
// block number the device expects, so that sequences reach manifestation.
void sendRequest(hiddfu_dev& dev, Firmware& firmware, Input& in, bool plausible)
{
    const uint8_t request = in.byte() % (plausible ? 7 : 9);  // 7 and 8 are unknown
    const uint8_t mode = plausible ? static_cast<uint8_t>(in.byte() & 0xF1) : in.byte();
    uint16_t value = (mode & 1) ? in.word() : dev.block;
    uint16_t length = static_cast<uint16_t>(in.byte() % (firmware.transferSize + (plausible ? 1 : 2)));
    if (mode & 2)
        length = in.word();  // anything, above the transfer size too
    size_t reportLength = HIDDFU_REQUEST_HEADER_LENGTH + size_t{length};
    switch ((mode >> 2) & 3) {
    case 1: reportLength = in.byte() % (reportLength + 1); break;  // short
    case 2: reportLength += in.byte(); break;                     // padded
    default: break;
    }
    std::vector<uint8_t> report(reportLength);
    for (size_t i = 0; i < reportLength; ++i)
        report[i] = in.byte();
    if (reportLength > 0)
        report[0] = HIDDFU_REPORT_REQUEST;
    if (reportLength >= HIDDFU_REQUEST_HEADER_LENGTH) {
        report[1] = request;
        report[2] = static_cast<uint8_t>(value);
        report[3] = static_cast<uint8_t>(value >> 8);
        report[4] = static_cast<uint8_t>(length);
        report[5] = static_cast<uint8_t>(length >> 8);
    }
    const uint8_t before = hiddfu_dev_state(&dev);
    const bool wellFormed = reportLength >= HIDDFU_REQUEST_HEADER_LENGTH + size_t{length};
    firmware.dnloadData = wellFormed ? report.data() + HIDDFU_REQUEST_HEADER_LENGTH : nullptr;
    firmware.dnloadLength = length;
    firmware.writeSeen = false;
    firmware.nextResult = pickResult(in.byte());
    const hiddfu_dev_result result =
        hiddfu_hid_set_report(&dev, report.empty() ? nullptr : report.data(), report.size());
    firmware.dnloadData = nullptr;
    if (result == HIDDFU_DEV_STALL)
        check(!firmware.writeSeen, "a refused request wrote");
    if (firmware.writeSeen)
        check(request == HIDDFU_DFU_DNLOAD && length > 0 && wellFormed &&
                  (before == HIDDFU_STATE_DFU_IDLE || before == HIDDFU_STATE_DNLOAD_IDLE),
              "write for a request that is no block");
}

void getReport(hiddfu_dev& dev, Firmware& firmware, uint8_t id, Input& in)
{
    const size_t capacity = in.byte() % 10;
    std::vector<uint8_t> report(capacity);
    size_t length = 99;
    firmware.inGetStatus = id == HIDDFU_REPORT_STATUS;
    firmware.nextResult = pickResult(in.byte());
    const hiddfu_dev_result result =
        hiddfu_hid_get_report(&dev, id, report.empty() ? nullptr : report.data(), capacity, &length);
    firmware.inGetStatus = false;
    size_t full = 0;
    switch (id) {
    case HIDDFU_REPORT_STATUS: full = HIDDFU_STATUS_REPORT_LENGTH; break;
    case HIDDFU_REPORT_FUNCTIONAL: full = HIDDFU_FUNCTIONAL_REPORT_LENGTH; break;
    case HIDDFU_REPORT_STATE: full = HIDDFU_STATE_REPORT_LENGTH; break;
    default:
        check(result == HIDDFU_DEV_STALL && length == 0, "a report the core does not have was answered");
        return;
    }
    check(result == HIDDFU_DEV_ACCEPT, "a DFU report was refused");
    check(length == (capacity < full ? capacity : full), "answer length");
    if (length > 0)
        check(report[0] == id, "answer carries another report id");
    if (id == HIDDFU_REPORT_STATUS && length >= 6)
        check(validState(report[5]), "GETSTATUS reports an invalid state");
    if (id == HIDDFU_REPORT_STATE && length >= 2)
        check(report[1] == hiddfu_dev_state(&dev), "GETSTATE differs from the state");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    Firmware firmware;
    firmware.transferSize = static_cast<uint16_t>(1 + in.byte() % 64);
    hiddfu_dev_config config{};
    config.write = Firmware::write;
    config.manifest = Firmware::manifest;
    config.detach = Firmware::detach;
    config.transfer_size = firmware.transferSize;
    config.detach_timeout_ms = 1000;
    config.attributes = static_cast<uint8_t>(in.byte() & 0x0F);
    config.write_poll_ms = 5;
    config.manifest_poll_ms = 0x2000000;  // beyond 24 bits: must be capped
    // The descriptor items, into a buffer of any size.
    std::vector<uint8_t> items(in.byte() % (HIDDFU_HID_DESCRIPTOR_LENGTH + 4));
    const size_t itemBytes = hiddfu_hid_report_descriptor(firmware.transferSize, items.data(), items.size());
    check(itemBytes == (items.size() >= HIDDFU_HID_DESCRIPTOR_LENGTH ? HIDDFU_HID_DESCRIPTOR_LENGTH : 0),
          "descriptor length");
    std::vector<uint8_t> buffer(firmware.transferSize);
    hiddfu_dev dev;
    check(hiddfu_dev_init(&dev, &config, buffer.data(), &firmware) == 0, "init refused a valid configuration");

    int steps = 0;
    while (!in.empty() && steps++ < 4096) {
        const uint8_t op = in.byte();
        switch (op % 10) {
        case 0: case 1:
            sendRequest(dev, firmware, in, true);
            break;
        case 2: case 3:
            sendRequest(dev, firmware, in, false);
            break;
        case 4: case 5:
            getReport(dev, firmware, HIDDFU_REPORT_STATUS, in);
            break;
        case 6:
            getReport(dev, firmware, static_cast<uint8_t>(0xD0 + in.byte() % 5), in);
            break;
        case 7: {  // the firmware finishes its pending operation
            const int status = pickResult(in.byte());
            const bool wasPending = firmware.pending;
            if (status != HIDDFU_DEV_PENDING) {
                firmware.pending = false;
                hiddfu_dev_complete(&dev, status);
            }
            if (wasPending && hiddfu_dev_state(&dev) == HIDDFU_STATE_DFU_ERROR)
                check(hiddfu_dev_status(&dev) != HIDDFU_STATUS_OK, "failed completion without status");
            break;
        }
        case 8: {  // a report of any id and length
            std::vector<uint8_t> report(in.byte() % 12);
            for (uint8_t& b : report)
                b = in.byte();
            const uint8_t before = hiddfu_dev_state(&dev);
            const uint8_t statusBefore = hiddfu_dev_status(&dev);
            firmware.dnloadData = nullptr;
            const hiddfu_dev_result result =
                hiddfu_hid_set_report(&dev, report.empty() ? nullptr : report.data(), report.size());
            if (report.empty() || report[0] != HIDDFU_REPORT_REQUEST)
                check(result == HIDDFU_DEV_STALL && hiddfu_dev_state(&dev) == before &&
                          hiddfu_dev_status(&dev) == statusBefore,
                      "a report that is no request changed the state");
            break;
        }
        default: {  // the request layer directly, either direction
            hiddfu_dev_setup setup{};
            setup.to_host = in.byte() & 1;
            setup.request = in.byte() % 9;
            setup.value = in.word();
            setup.length = static_cast<uint16_t>(in.byte() % 10);
            uint8_t reply[9];
            uint16_t replyLength = 99;
            firmware.inGetStatus = setup.to_host && setup.request == HIDDFU_DFU_GETSTATUS;
            firmware.nextResult = pickResult(in.byte());
            std::vector<uint8_t> payload(setup.length, 0x5A);
            firmware.dnloadData = payload.data();
            firmware.dnloadLength = setup.length;
            hiddfu_dev_request(&dev, &setup, payload.data(), reply, &replyLength);
            firmware.dnloadData = nullptr;
            firmware.inGetStatus = false;
            check(replyLength <= setup.length, "answer longer than wLength");
            break;
        }
        }
        checkCore(dev, firmware);
    }
    return 0;
}
