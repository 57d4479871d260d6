// The device end of the upgrade protocol (docs/protocol.md): DFU 1.1
// requests, states and status codes carried in the HID feature reports 0xD0
// (request, set), 0xD1 (status, get), 0xD2 (functional, get) and 0xD3
// (state, get). The machine keeps what was downloaded and, once
// manifestation completes, makes it the device's flash contents (and writes
// it to a file when asked). It also carries the faults the tests inject.
//
// Portable and single-threaded: SimDevice serialises the calls.
//
// The wire numbers below are written out here from docs/protocol.md rather
// than taken from the library's own header on purpose: the simulator is a
// second, independent reading of the protocol, so a number the library gets
// wrong shows up as a failing test instead of agreeing with itself.
//
// Timing: a DNLOAD block and manifestation each take the configured poll
// timeout; the clock is injectable so tests need no sleeping. A GETSTATUS
// that comes before the announced bwPollTimeout has elapsed is answered with
// the state unchanged and the time still left (a real device might stall
// instead); such early polls are counted so tests can check that a host
// honours bwPollTimeout.
//
// Firmware version convention: a flashed image whose first line is
// "hiddfu-sim firmware X.Y.Z\n" (the line within the first 64 bytes, the
// version 1-40 printable characters without spaces) sets the version the
// device reports to the control request "version" to X.Y.Z. Any other image
// keeps the version the device had.
#ifndef SIM_DFU_MACHINE_H
#define SIM_DFU_MACHINE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

namespace dfu {

enum State : uint8_t {
    kAppIdle = 0,
    kAppDetach = 1,
    kIdle = 2,
    kDnloadSync = 3,
    kDnBusy = 4,
    kDnloadIdle = 5,
    kManifestSync = 6,
    kManifest = 7,
    kManifestWaitReset = 8,
    kUploadIdle = 9,
    kError = 10,
};

enum Status : uint8_t {
    kOk = 0,
    kErrTarget = 1,
    kErrFile = 2,
    kErrWrite = 3,
    kErrErase = 4,
    kErrCheckErased = 5,
    kErrProg = 6,
    kErrVerify = 7,
    kErrAddress = 8,
    kErrNotDone = 9,
    kErrFirmware = 10,
    kErrVendor = 11,
    kErrUsbr = 12,
    kErrPor = 13,
    kErrUnknown = 14,
    kErrStalledPkt = 15,
};

enum Request : uint8_t {
    kDetach = 0,
    kDnload = 1,
    kUpload = 2,
    kGetStatus = 3,
    kClrStatus = 4,
    kGetState = 5,
    kAbort = 6,
};

const uint8_t kRequestReportId = 0xD0;
const uint8_t kStatusReportId = 0xD1;
const uint8_t kFunctionalReportId = 0xD2;
const uint8_t kStateReportId = 0xD3;

// Report lengths with the id byte. The request report is this header plus
// the transfer size.
const size_t kRequestHeaderBytes = 6;
const size_t kStatusReportBytes = 7;
const size_t kFunctionalReportBytes = 8;
const size_t kStateReportBytes = 2;
// The short status report the kShortReport fault sends.
const size_t kShortStatusReportBytes = 3;

// uhid carries at most 4096 bytes per report, id byte included.
const uint16_t kMaxTransferSize = 4090;

const uint8_t kAttrCanDownload = 0x01;
const uint8_t kAttrManifestationTolerant = 0x04;
const uint8_t kAttrWillDetach = 0x08;
const uint16_t kBcdDfu = 0x0110;

// The bState the kStateOutOfRange fault reports.
const uint8_t kGarbageState = 0xEE;

} // namespace dfu

enum class StatusGarbage {
    kNone,
    kStateOutOfRange,  // the status report has bState 0xEE
    kShortReport,      // the status report is 3 bytes long instead of 7
};

struct DfuConfig {
    bool enabled = true;  // false: no feature reports, not upgradable
    uint16_t transferSize = 1024;
    bool canDownload = true;
    bool manifestationTolerant = true;
    bool willDetach = true;
    uint16_t detachTimeoutMs = 1000;
    uint32_t pollTimeoutMs = 5;       // bwPollTimeout of a block (dfuDNBUSY)
    uint32_t manifestTimeoutMs = 20;  // bwPollTimeout of manifestation
    std::string flashPath;            // empty: the flash lives in memory only

    // Faults. A block index counts the DNLOADs with data of the current
    // download from 0 (the block number before it wraps at 65536).
    std::optional<uint32_t> failAtBlock;    // dfuERROR with failStatus
    uint8_t failStatus = dfu::kErrWrite;
    std::optional<uint32_t> silentAtBlock;  // no feature report answered from then on
    std::optional<uint32_t> vanishAtBlock;  // the device is gone from then on
    bool busyForever = false;               // every block stays dfuDNBUSY
    StatusGarbage garbage = StatusGarbage::kNone;  // from the first DNLOAD on

    // Milliseconds of a monotonic clock; empty: std::chrono::steady_clock.
    std::function<uint64_t()> clockMs;
};

// How a feature report transfer ended, as the host would see it.
enum class FeatureOutcome {
    kDone,        // transferred
    kStalled,     // refused at once (the SET_REPORT/GET_REPORT fails)
    kUnanswered,  // never answered: the host's request times out
    kGone,        // the device has disappeared
};

// The version the convention above finds in `image`; empty when none.
std::string firmwareVersionOf(const std::vector<uint8_t>& image);

// Writes `content` to `path` through a temporary file renamed over it, so a
// reader sees the old file or the whole new one.
bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& content);

class DfuMachine {
public:
    explicit DfuMachine(DfuConfig config);

    const DfuConfig& config() const { return m_config; }

    // The longest feature report (the request report); 0 when DFU is off.
    uint16_t requestReportLength() const;

    // A SET_REPORT of a feature report, report id first.
    FeatureOutcome setReport(const uint8_t* report, size_t length);

    // A GET_REPORT of feature report `reportId`; *reply gets the report, id
    // first, when the outcome is kDone.
    FeatureOutcome getReport(uint8_t reportId, std::vector<uint8_t>* reply);

    // Reads the flash file, if there is one, as the device's current
    // firmware. False when a file is named but cannot be read (a missing
    // file is an empty flash, not an error).
    bool loadFlash();

    uint8_t state() const { return m_state; }
    uint8_t status() const { return m_status; }
    const std::vector<uint8_t>& flash() const { return m_flash; }
    const std::vector<uint8_t>& downloaded() const { return m_download; }
    // The version of the flashed image; empty when it carried none.
    const std::string& firmwareVersion() const { return m_version; }
    unsigned manifestations() const { return m_manifestations; }
    unsigned earlyPolls() const { return m_earlyPolls; }
    unsigned restarts() const { return m_restarts; }
    bool silent() const { return m_silent; }
    bool gone() const { return m_gone; }

    // After a DETACH: the delay in ms after which the device restarts
    // (re-enumerates). The machine itself is back in dfuIDLE already. Each
    // request is handed out once.
    std::optional<uint32_t> takeRestartRequest();

private:
    uint64_t now() const;
    void advance();
    FeatureOutcome stall();
    FeatureOutcome onRequest(uint8_t request, uint16_t value, const uint8_t* data, uint16_t length);
    FeatureOutcome onDownload(uint16_t blockNumber, const uint8_t* data, uint16_t length);
    FeatureOutcome onDownloadBlock(uint16_t blockNumber, const uint8_t* data, uint16_t length);
    FeatureOutcome onClearStatus();
    FeatureOutcome onAbort();
    FeatureOutcome onDetach(uint16_t timeoutMs);
    void onGetStatus(uint32_t* pollTimeoutMs);
    void completeManifestation();
    void restart();
    void enterError(uint8_t status);
    uint32_t remainingMs() const;
    std::vector<uint8_t> statusReport(uint32_t pollTimeoutMs) const;
    std::vector<uint8_t> functionalReport() const;

    DfuConfig m_config;
    uint8_t m_state = dfu::kIdle;
    uint8_t m_status = dfu::kOk;
    uint64_t m_deadlineMs = 0;        // end of the current busy phase
    bool m_blockComplete = false;     // dfuDNLOAD-SYNC: the block is written
    bool m_manifestDone = false;      // dfuMANIFEST-SYNC: manifestation is over
    uint32_t m_blocks = 0;            // blocks of the current download
    bool m_garbageActive = false;
    bool m_silent = false;
    bool m_gone = false;
    std::vector<uint8_t> m_download;
    std::vector<uint8_t> m_flash;
    std::string m_version;
    unsigned m_manifestations = 0;
    unsigned m_earlyPolls = 0;
    unsigned m_restarts = 0;
    std::optional<uint32_t> m_restartRequest;
};

} // namespace sim

#endif
