// The device core (device/include/hiddfu_device.h) driven through its HID
// layer with literal report bytes: the wire numbers here are written out on
// purpose, so that a wrong number in the shared header fails a test instead
// of agreeing with itself. States: 2 dfuIDLE, 3 DNLOAD-SYNC, 4 DNBUSY,
// 5 DNLOAD-IDLE, 6 MANIFEST-SYNC, 7 MANIFEST, 8 MANIFEST-WAIT-RESET,
// 10 dfuERROR. Status 3 errWRITE, 6 errPROG, 8 errADDRESS, 15 errSTALLEDPKT.
#include "hiddfu_device.h"
#include "report_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

enum : uint8_t {
    kIdle = 2, kDnloadSync = 3, kDnBusy = 4, kDnloadIdle = 5, kManifestSync = 6, kManifest = 7,
    kWaitReset = 8, kError = 10,
};
enum : uint8_t { kOk = 0, kErrWrite = 3, kErrProg = 6, kErrAddress = 8, kErrUnknown = 14, kStalled = 15 };
enum : uint8_t { kDetach = 0, kDnload = 1, kUpload = 2, kGetStatus = 3, kClrStatus = 4, kGetState = 5, kAbort = 6 };

const int kPending = HIDDFU_DEV_PENDING;

// The context a firmware keeps besides its transfer buffer (40 bytes on
// 64-bit hosts, less with 32-bit pointers).
static_assert(sizeof(hiddfu_dev) <= 64, "the device context grew beyond 64 bytes");

// The firmware's side: an image store whose writes and manifestation finish
// at once with a chosen status, or stay pending until complete().
struct Firmware {
    Bytes image;
    std::vector<uint32_t> writeOffsets;
    int writeResult = 0;  // a DFU status, or kPending
    int manifestResult = 0;
    unsigned manifestations = 0;
    uint32_t manifestedLength = 0;
    std::vector<uint16_t> detaches;
    uint32_t pollLeft = 0;  // for the poll_timeout callback

    static Firmware& of(void* user) { return *static_cast<Firmware*>(user); }
    static int write(void* user, uint32_t offset, const uint8_t* data, uint16_t length)
    {
        Firmware& f = of(user);
        f.writeOffsets.push_back(offset);
        if (f.image.size() < offset + length)
            f.image.resize(offset + length);
        std::copy(data, data + length, f.image.begin() + offset);
        return f.writeResult;
    }
    static int manifest(void* user, uint32_t length)
    {
        Firmware& f = of(user);
        ++f.manifestations;
        f.manifestedLength = length;
        return f.manifestResult;
    }
    static void detach(void* user, uint16_t timeoutMs) { of(user).detaches.push_back(timeoutMs); }
    static uint32_t pollTimeout(void* user) { return of(user).pollLeft; }
};

struct Status {
    bool accepted = false;
    uint8_t status = 0xFF;
    uint32_t poll = 0;
    uint8_t state = 0xFF;
};

class Device {
public:
    explicit Device(uint16_t transferSize = 16, uint8_t attributes = 0x0D, bool pollCallback = false)
        : m_buffer(transferSize)
    {
        m_config.write = Firmware::write;
        m_config.manifest = Firmware::manifest;
        m_config.detach = Firmware::detach;
        m_config.poll_timeout = pollCallback ? Firmware::pollTimeout : nullptr;
        m_config.transfer_size = transferSize;
        m_config.detach_timeout_ms = 500;
        m_config.attributes = attributes;
        m_config.write_poll_ms = 30;
        m_config.manifest_poll_ms = 200;
        EXPECT_EQ(hiddfu_dev_init(&m_dev, &m_config, m_buffer.data(), &firmware), 0);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Report 0xD0 padded to its declared length.
    bool send(uint8_t request, uint16_t value = 0, const Bytes& data = {})
    {
        Bytes report(6 + m_config.transfer_size, 0);
        report[0] = 0xD0;
        report[1] = request;
        report[2] = static_cast<uint8_t>(value);
        report[3] = static_cast<uint8_t>(value >> 8);
        report[4] = static_cast<uint8_t>(data.size());
        report[5] = static_cast<uint8_t>(data.size() >> 8);
        std::copy(data.begin(), data.end(), report.begin() + 6);
        return setRaw(report);
    }
    bool setRaw(const Bytes& report)
    {
        return hiddfu_hid_set_report(&m_dev, report.data(), report.size()) == HIDDFU_DEV_ACCEPT;
    }
    Bytes get(uint8_t id, size_t capacity = 64)
    {
        Bytes report(capacity, 0xAA);
        size_t length = 99;
        if (hiddfu_hid_get_report(&m_dev, id, report.data(), report.size(), &length) != HIDDFU_DEV_ACCEPT) {
            EXPECT_EQ(length, 0u);
            return {};
        }
        report.resize(length);
        return report;
    }
    Status getStatus()
    {
        const Bytes r = get(0xD1);
        Status s;
        if (r.size() != 7 || r[0] != 0xD1)
            return s;
        s.accepted = true;
        s.status = r[1];
        s.poll = r[2] | (r[3] << 8) | (r[4] << 16);
        s.state = r[5];
        return s;
    }
    uint8_t state() const { return hiddfu_dev_state(&m_dev); }
    uint8_t status() const { return hiddfu_dev_status(&m_dev); }
    void complete(int status) { hiddfu_dev_complete(&m_dev, status); }
    hiddfu_dev& dev() { return m_dev; }

    // One block acknowledged the way a host does it.
    void block(uint16_t number, const Bytes& data)
    {
        ASSERT_TRUE(send(kDnload, number, data));
        ASSERT_EQ(getStatus().state, kDnloadIdle);
    }

    Firmware firmware;

private:
    hiddfu_dev_config m_config{};
    Bytes m_buffer;
    hiddfu_dev m_dev{};
};

Bytes bytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Brings a fresh device into `state` as a host would; a pending write or
// manifestation where the state needs one.
void driveTo(Device& d, uint8_t state)
{
    switch (state) {
    case kIdle:
        break;
    case kDnloadSync:
        d.firmware.writeResult = kPending;
        d.send(kDnload, 0, bytes("abc"));
        break;
    case kDnBusy:
        driveTo(d, kDnloadSync);
        d.getStatus();
        break;
    case kDnloadIdle:
        d.block(0, bytes("abc"));
        break;
    case kManifestSync:
        d.block(0, bytes("abc"));
        d.send(kDnload, 1);
        break;
    case kManifest:
        driveTo(d, kManifestSync);
        d.firmware.manifestResult = kPending;
        d.getStatus();
        break;
    case kWaitReset:  // a device that is not manifestation tolerant
        driveTo(d, kManifestSync);
        d.getStatus();
        break;
    case kError:
        d.send(kClrStatus);
        break;
    }
    ASSERT_EQ(d.state(), state);
}

TEST(DeviceCore, EveryRequestInEveryState)
{
    enum Action { kData, kZero, kClr, kAbortReq, kUploadReq, kUnknown, kStatusAsSet, kStateAsSet, kDetachReq };
    struct Case {
        uint8_t from;
        Action action;
        bool accepted;
        uint8_t state, status;  // afterwards
    };
    const Case cases[] = {
        {kIdle, kData, true, kDnloadSync, kOk},
        {kIdle, kZero, false, kError, kStalled},
        {kIdle, kClr, false, kError, kStalled},
        {kIdle, kAbortReq, true, kIdle, kOk},
        {kIdle, kUploadReq, false, kError, kStalled},
        {kIdle, kUnknown, false, kError, kStalled},
        {kIdle, kStatusAsSet, false, kError, kStalled},
        {kIdle, kStateAsSet, false, kError, kStalled},
        {kDnloadSync, kData, false, kError, kStalled},
        {kDnloadSync, kZero, false, kError, kStalled},
        {kDnloadSync, kAbortReq, false, kError, kStalled},
        {kDnloadSync, kClr, false, kError, kStalled},
        {kDnBusy, kData, false, kError, kStalled},
        {kDnBusy, kZero, false, kError, kStalled},
        {kDnBusy, kAbortReq, false, kError, kStalled},
        {kDnloadIdle, kData, true, kDnloadSync, kOk},
        {kDnloadIdle, kZero, true, kManifestSync, kOk},
        {kDnloadIdle, kAbortReq, true, kIdle, kOk},
        {kDnloadIdle, kClr, false, kError, kStalled},
        {kDnloadIdle, kUploadReq, false, kError, kStalled},
        {kManifestSync, kData, false, kError, kStalled},
        {kManifestSync, kZero, false, kError, kStalled},
        {kManifestSync, kAbortReq, false, kError, kStalled},
        {kManifest, kZero, false, kError, kStalled},
        {kManifest, kAbortReq, false, kError, kStalled},
        {kWaitReset, kData, false, kError, kStalled},
        {kWaitReset, kAbortReq, false, kError, kStalled},
        {kWaitReset, kClr, false, kError, kStalled},
        {kError, kClr, true, kIdle, kOk},
        {kError, kAbortReq, false, kError, kStalled},
        {kError, kData, false, kError, kStalled},
        {kError, kUnknown, false, kError, kStalled},
    };
    // DETACH is accepted everywhere and restarts into dfuIDLE.
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (uint8_t from : {kIdle, kDnloadSync, kDnBusy, kDnloadIdle, kManifestSync, kManifest, kWaitReset, kError})
        all.push_back({from, kDetachReq, true, kIdle, kOk});

    for (const Case& c : all) {
        Device d(16, c.from == kWaitReset ? 0x09 : 0x0D);
        driveTo(d, c.from);
        const std::string label = "from " + std::to_string(c.from) + " action " + std::to_string(c.action);
        const uint16_t next = c.from == kDnloadIdle || c.from == kManifestSync ? 1 : 0;
        d.firmware.writeResult = 0;
        const size_t writesBefore = d.firmware.writeOffsets.size();
        bool accepted = false;
        switch (c.action) {
        case kData: accepted = d.send(kDnload, next, bytes("more")); break;
        case kZero: accepted = d.send(kDnload, next); break;
        case kClr: accepted = d.send(kClrStatus); break;
        case kAbortReq: accepted = d.send(kAbort); break;
        case kUploadReq: accepted = d.send(kUpload, 0); break;
        case kUnknown: accepted = d.send(7); break;
        case kStatusAsSet: accepted = d.send(kGetStatus); break;
        case kStateAsSet: accepted = d.send(kGetState); break;
        case kDetachReq: accepted = d.send(kDetach, 100); break;
        }
        EXPECT_EQ(accepted, c.accepted) << label;
        EXPECT_EQ(d.state(), c.state) << label;
        EXPECT_EQ(d.status(), c.status) << label;
        EXPECT_EQ(d.firmware.writeOffsets.size(), writesBefore + (c.action == kData && c.accepted ? 1 : 0))
            << label << ": only an accepted block is written";
        EXPECT_EQ(d.firmware.detaches.size(), c.action == kDetachReq ? 1u : 0u) << label;
    }
}

TEST(DeviceCore, PendingWritesAndManifestationAnnounceBusyUntilCompleted)
{
    struct Case {
        const char* label;
        bool tolerant;
        bool pollCallback;
        uint8_t endState;
    };
    const Case cases[] = {
        {"tolerant", true, false, kIdle},
        {"not tolerant", false, false, kWaitReset},
        {"poll timeout from the firmware", true, true, kIdle},
    };
    for (const Case& c : cases) {
        Device d(4, c.tolerant ? 0x0D : 0x09, c.pollCallback);
        d.firmware.pollLeft = 77;
        const uint32_t writePoll = c.pollCallback ? 77 : 30, manifestPoll = c.pollCallback ? 77 : 200;
        d.firmware.writeResult = kPending;
        const Bytes payload = bytes("0123456789");
        for (uint16_t block = 0; block < 3; ++block) {
            const Bytes data(payload.begin() + block * 4, payload.begin() + std::min<size_t>(10, block * 4 + 4));
            ASSERT_TRUE(d.send(kDnload, block, data)) << c.label;
            EXPECT_EQ(d.state(), kDnloadSync);
            for (int early = 0; early < 3; ++early) {  // polls before it is done stay busy
                const Status s = d.getStatus();
                EXPECT_EQ(s.state, kDnBusy) << c.label;
                EXPECT_EQ(s.poll, writePoll) << c.label;
            }
            d.complete(0);
            EXPECT_EQ(d.state(), kDnloadSync);
            const Status s = d.getStatus();
            EXPECT_EQ(s.state, kDnloadIdle) << c.label;
            EXPECT_EQ(s.poll, 0u);
        }
        EXPECT_EQ(d.firmware.image, payload);
        EXPECT_EQ(d.firmware.writeOffsets, (std::vector<uint32_t>{0, 4, 8}));
        EXPECT_EQ(hiddfu_dev_downloaded(&d.dev()), 10u);

        ASSERT_TRUE(d.send(kDnload, 3));
        EXPECT_EQ(d.state(), kManifestSync);
        EXPECT_EQ(d.firmware.manifestations, 0u) << "manifestation starts at the GETSTATUS";
        d.firmware.manifestResult = kPending;
        for (int early = 0; early < 2; ++early) {
            const Status s = d.getStatus();
            EXPECT_EQ(s.state, kManifest) << c.label;
            EXPECT_EQ(s.poll, manifestPoll) << c.label;
        }
        EXPECT_EQ(d.firmware.manifestations, 1u);
        EXPECT_EQ(d.firmware.manifestedLength, 10u);
        d.complete(0);
        EXPECT_EQ(hiddfu_dev_downloaded(&d.dev()), 0u) << "the image is the firmware's now";
        const Status end = d.getStatus();
        EXPECT_EQ(end.state, c.endState) << c.label;
        EXPECT_EQ(end.status, kOk) << c.label;
        EXPECT_EQ(d.getStatus().state, c.endState) << c.label << ": and stays there";
        d.complete(0);  // nothing pending: ignored
        EXPECT_EQ(d.state(), c.endState);
    }
}

TEST(DeviceCore, OperationsFinishedAtOnceSkipBusy)
{
    for (bool tolerant : {true, false}) {
        Device d(8, tolerant ? 0x0D : 0x09);
        ASSERT_TRUE(d.send(kDnload, 0, bytes("abc")));
        Status s = d.getStatus();
        EXPECT_EQ(s.state, kDnloadIdle);
        EXPECT_EQ(s.poll, 0u);
        ASSERT_TRUE(d.send(kDnload, 1));
        s = d.getStatus();
        EXPECT_EQ(s.state, kManifest) << "manifestation is reported once";
        EXPECT_EQ(s.poll, 0u);
        EXPECT_EQ(d.getStatus().state, tolerant ? kIdle : kWaitReset);
        EXPECT_EQ(d.firmware.manifestations, 1u);
    }
}

TEST(DeviceCore, FailuresOfTheFirmwareEnterErrorWithTheirStatus)
{
    struct Case {
        const char* label;
        int writeResult, completeWith, manifestResult;
        bool failInManifest;
        uint8_t status;
    };
    const Case cases[] = {
        {"write fails at once", kErrWrite, 0, 0, false, kErrWrite},
        {"write fails later", kPending, kErrWrite, 0, false, kErrWrite},
        {"write returns nonsense", 99, 0, 0, false, kErrUnknown},
        {"write completes with nonsense", kPending, -5, 0, false, kErrUnknown},
        {"manifestation fails at once", 0, 0, kErrProg, true, kErrProg},
        {"manifestation fails later", 0, kErrProg, kPending, true, kErrProg},
    };
    for (const Case& c : cases) {
        Device d(8);
        if (c.failInManifest)
            driveTo(d, kManifestSync);
        d.firmware.writeResult = c.writeResult;
        d.firmware.manifestResult = c.manifestResult;
        if (!c.failInManifest) {
            ASSERT_TRUE(d.send(kDnload, 0, bytes("abc"))) << c.label;
        }
        Status s = d.getStatus();
        if (s.state != kError) {
            d.complete(c.completeWith);
            s = d.getStatus();
        }
        EXPECT_EQ(s.state, kError) << c.label;
        EXPECT_EQ(s.status, c.status) << c.label;
        // CLRSTATUS, then a fresh download from block 0 works.
        ASSERT_TRUE(d.send(kClrStatus)) << c.label;
        d.firmware.writeResult = d.firmware.manifestResult = 0;
        d.block(0, bytes("xy"));
        EXPECT_EQ(d.firmware.writeOffsets.back(), 0u) << c.label;
    }
}

TEST(DeviceCore, AStallInErrorKeepsTheFirstStatus)
{
    Device d;
    d.firmware.writeResult = kErrWrite;
    ASSERT_TRUE(d.send(kDnload, 0, bytes("x")));
    EXPECT_FALSE(d.send(kAbort));
    EXPECT_FALSE(d.send(kDnload, 1, bytes("y")));
    const Status s = d.getStatus();
    EXPECT_EQ(s.state, kError);
    EXPECT_EQ(s.status, kErrWrite);
}

TEST(DeviceCore, BlockNumbersMustFollowInOrderAndWrap)
{
    struct Case {
        const char* label;
        std::vector<uint16_t> numbers;  // the last one is out of sequence
    };
    const Case cases[] = {
        {"first block not 0", {1}},
        {"skipped", {0, 1, 3}},
        {"repeated", {0, 1, 1}},
        {"back to 0", {0, 1, 0}},
    };
    for (const Case& c : cases) {
        Device d;
        for (size_t i = 0; i + 1 < c.numbers.size(); ++i)
            d.block(c.numbers[i], bytes("ok"));
        const size_t writes = d.firmware.writeOffsets.size();
        EXPECT_TRUE(d.send(kDnload, c.numbers.back(), bytes("bad"))) << c.label;
        const Status s = d.getStatus();
        EXPECT_EQ(s.state, kError) << c.label;
        EXPECT_EQ(s.status, kErrAddress) << c.label;
        EXPECT_EQ(d.firmware.writeOffsets.size(), writes) << c.label << ": nothing written";
    }

    // 65536 + 2 blocks of one byte: numbers wrap, offsets keep counting.
    Device d(1);
    const uint32_t count = 65538;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t byte = static_cast<uint8_t>(i * 7);
        ASSERT_TRUE(d.send(kDnload, static_cast<uint16_t>(i), {byte})) << i;
        ASSERT_EQ(d.getStatus().state, kDnloadIdle) << i;
    }
    ASSERT_TRUE(d.send(kDnload, static_cast<uint16_t>(count)));
    EXPECT_EQ(d.getStatus().state, kManifest);
    EXPECT_EQ(d.firmware.manifestedLength, count);
    ASSERT_EQ(d.firmware.image.size(), count);
    EXPECT_EQ(d.firmware.image[65537], static_cast<uint8_t>(65537 * 7));
}

TEST(DeviceCore, MalformedReports)
{
    struct Case {
        const char* label;
        Bytes report;
        bool touchesState;  // a refused DFU request leaves dfuERROR; others nothing
    };
    // Transfer size 8: the request report is 14 bytes.
    const Case cases[] = {
        {"empty", {}, false},
        {"shorter than the header", {0xD0, 1, 0, 0, 1}, true},
        {"shorter than its wLength", {0xD0, 1, 0, 0, 4, 0, 1, 2}, true},
        {"wLength above the transfer size", {0xD0, 1, 0, 0, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, true},
        {"CLRSTATUS with data", {0xD0, 4, 0, 0, 1, 0, 0}, true},
        {"ABORT with data", {0xD0, 6, 0, 0, 1, 0, 0}, true},
        {"DETACH with data", {0xD0, 0, 0, 0, 1, 0, 0}, true},
        {"set of the status report", {0xD1, 0, 0, 0, 0, 2, 0}, false},
        {"set of the functional report", {0xD2, 1, 0, 0, 0, 0, 0, 0}, false},
        {"set of the state report", {0xD3, 2}, false},
        {"undeclared id", {0x01, 1, 0, 0, 0, 0}, false},
    };
    for (const Case& c : cases) {
        Device d(8);
        driveTo(d, kDnloadIdle);
        EXPECT_EQ(hiddfu_hid_set_report(&d.dev(), c.report.empty() ? nullptr : c.report.data(), c.report.size()),
                  HIDDFU_DEV_STALL)
            << c.label;
        EXPECT_EQ(d.state(), c.touchesState ? kError : kDnloadIdle) << c.label;
        EXPECT_EQ(d.status(), c.touchesState ? kStalled : kOk) << c.label;
        EXPECT_EQ(d.firmware.writeOffsets.size(), 1u) << c.label;
    }

    // Longer than declared (padding beyond wLength): accepted, the data is wLength bytes.
    Device d(8);
    const Bytes padded = {0xD0, 1, 0, 0, 2, 0, 'h', 'i', 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_TRUE(d.setRaw(padded));
    EXPECT_EQ(d.firmware.image, bytes("hi"));
    // A get of the request report or an undeclared id is refused; nothing moves.
    for (uint8_t id : {0xD0, 0xD4, 0x01, 0x00})
        EXPECT_TRUE(d.get(id).empty()) << int(id);
    EXPECT_EQ(d.state(), kDnloadSync);
    EXPECT_EQ(d.status(), kOk);
}

TEST(DeviceCore, DetachNotifiesTheFirmwareWithinItsTimeoutAndForgetsThePendingWrite)
{
    Device d;  // detach timeout 500
    driveTo(d, kDnBusy);
    ASSERT_TRUE(d.send(kDetach, 2000));
    ASSERT_TRUE(d.send(kDetach, 20));
    EXPECT_EQ(d.firmware.detaches, (std::vector<uint16_t>{500, 20}));
    EXPECT_EQ(d.state(), kIdle);
    d.complete(kErrWrite);  // the dropped write finishing: ignored
    EXPECT_EQ(d.state(), kIdle);
    EXPECT_EQ(d.status(), kOk);
    d.firmware.writeResult = 0;
    d.block(0, bytes("new"));
    EXPECT_EQ(d.firmware.writeOffsets.back(), 0u);
}

TEST(DeviceCore, AWriteStillRunningAfterAStallHoldsOffTheNextDownload)
{
    Device d;
    driveTo(d, kDnBusy);
    EXPECT_FALSE(d.send(kAbort));  // not valid while busy
    ASSERT_TRUE(d.send(kClrStatus));
    d.firmware.writeResult = 0;
    EXPECT_FALSE(d.send(kDnload, 0, bytes("x"))) << "the old write still owns the buffer";
    ASSERT_TRUE(d.send(kClrStatus));
    d.complete(0);
    EXPECT_EQ(d.state(), kIdle) << "a finished write the host abandoned changes nothing";
    d.block(0, bytes("x"));
}

TEST(DeviceCore, FunctionalAndStateReports)
{
    Device d(1024, 0x0F);  // bitCanUpload is never announced
    EXPECT_EQ(d.get(0xD2), (Bytes{0xD2, 0x0D, 0xF4, 0x01, 0x00, 0x04, 0x10, 0x01}));
    EXPECT_EQ(d.get(0xD2, 3), (Bytes{0xD2, 0x0D, 0xF4})) << "cut to the buffer";
    EXPECT_EQ(d.get(0xD3), (Bytes{0xD3, kIdle}));
    d.firmware.writeResult = kPending;
    ASSERT_TRUE(d.send(kDnload, 0, bytes("x")));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(d.get(0xD3), (Bytes{0xD3, kDnloadSync})) << "GETSTATE has no side effect";
    EXPECT_EQ(d.get(0xD1), (Bytes{0xD1, 0, 30, 0, 0, kDnBusy, 0}));
}

TEST(DeviceCore, RequestLayerChecksDirectionAndReplyLength)
{
    Device d;
    uint8_t reply[8] = {};
    uint16_t length = 99;
    struct Case {
        uint8_t toHost, request;
        uint16_t wLength;
        hiddfu_dev_result result;
        uint16_t replyLength;
    };
    const Case cases[] = {
        {1, kGetStatus, 6, HIDDFU_DEV_ACCEPT, 6},
        {1, kGetStatus, 5, HIDDFU_DEV_STALL, 0},
        {1, kGetState, 1, HIDDFU_DEV_ACCEPT, 1},
        {1, kGetState, 0, HIDDFU_DEV_STALL, 0},
        {1, kDnload, 6, HIDDFU_DEV_STALL, 0},
        {1, kUpload, 8, HIDDFU_DEV_STALL, 0},
        {0, kAbort, 0, HIDDFU_DEV_ACCEPT, 0},
    };
    for (const Case& c : cases) {
        hiddfu_dev_setup setup{c.toHost, c.request, 0, c.wLength};
        EXPECT_EQ(hiddfu_dev_request(&d.dev(), &setup, nullptr, reply, &length), c.result) << int(c.request);
        EXPECT_EQ(length, c.replyLength) << int(c.request);
        if (c.result == HIDDFU_DEV_STALL) {
            ASSERT_TRUE(d.send(kClrStatus));
        }
    }
}

TEST(DeviceCore, InitRefusesUnusableConfigurations)
{
    uint8_t buffer[4];
    hiddfu_dev dev{};
    hiddfu_dev_config good{};
    good.write = Firmware::write;
    good.manifest = Firmware::manifest;
    good.transfer_size = 4;
    EXPECT_EQ(hiddfu_dev_init(&dev, &good, buffer, nullptr), 0);
    hiddfu_dev_config bad = good;
    bad.write = nullptr;
    EXPECT_EQ(hiddfu_dev_init(&dev, &bad, buffer, nullptr), -1);
    bad = good;
    bad.manifest = nullptr;
    EXPECT_EQ(hiddfu_dev_init(&dev, &bad, buffer, nullptr), -1);
    bad = good;
    bad.transfer_size = 0;
    EXPECT_EQ(hiddfu_dev_init(&dev, &bad, buffer, nullptr), -1);
    bad.transfer_size = 65530;
    EXPECT_EQ(hiddfu_dev_init(&dev, &bad, buffer, nullptr), -1);
    EXPECT_EQ(hiddfu_dev_init(&dev, &good, nullptr, nullptr), -1);
}

TEST(DeviceCore, ReportDescriptorDeclaresTheFourFeatureReports)
{
    uint8_t out[HIDDFU_HID_DESCRIPTOR_LENGTH + 4];
    const Bytes expected64 = {
        0x06, 0x00, 0xFF, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,  // vendor page, bytes
        0x85, 0xD0, 0x09, 0xD0, 0x96, 0x45, 0x00, 0xB1, 0x02,        // 0xD0: 69 data bytes
        0x85, 0xD1, 0x09, 0xD1, 0x95, 0x06, 0xB1, 0x02,
        0x85, 0xD2, 0x09, 0xD2, 0x95, 0x07, 0xB1, 0x02,
        0x85, 0xD3, 0x09, 0xD3, 0x95, 0x01, 0xB1, 0x02,
    };
    ASSERT_EQ(hiddfu_hid_report_descriptor(64, out, sizeof out), expected64.size());
    EXPECT_EQ(Bytes(out, out + expected64.size()), expected64);

    for (uint16_t transferSize : {1, 249, 250, 4090, 65529}) {
        const size_t n = hiddfu_hid_report_descriptor(transferSize, out, sizeof out);
        ASSERT_EQ(n, size_t{HIDDFU_HID_DESCRIPTOR_LENGTH});
        // Wrapped in an application collection, a HID parser finds the lengths.
        Bytes descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
        descriptor.insert(descriptor.end(), out, out + n);
        descriptor.push_back(0xC0);
        hidplatform::ReportDescriptorInfo info;
        ASSERT_TRUE(hidplatform::parseReportDescriptor(descriptor.data(), descriptor.size(), &info));
        const hidplatform::ReportInfo* request = info.find(hidplatform::ReportKind::kFeature, 0xD0);
        ASSERT_NE(request, nullptr);
        EXPECT_EQ(request->byteLength(), 6u + transferSize);
        EXPECT_EQ(info.find(hidplatform::ReportKind::kFeature, 0xD1)->byteLength(), 7u);
        EXPECT_EQ(info.find(hidplatform::ReportKind::kFeature, 0xD2)->byteLength(), 8u);
        EXPECT_EQ(info.find(hidplatform::ReportKind::kFeature, 0xD3)->byteLength(), 2u);
    }
    EXPECT_EQ(hiddfu_hid_report_descriptor(64, out, HIDDFU_HID_DESCRIPTOR_LENGTH - 1), 0u);
    EXPECT_EQ(hiddfu_hid_report_descriptor(0, out, sizeof out), 0u);
    EXPECT_EQ(hiddfu_hid_report_descriptor(65530, out, sizeof out), 0u);
}

}  // namespace
