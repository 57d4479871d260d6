// The device end of the upgrade protocol (docs/protocol.md) as the
// simulated device presents it: the device core (device/include/
// hiddfu_device.h) runs the DFU state machine on the HID feature reports
// 0xD0-0xD3, and this machine is the firmware around it. It keeps what was
// downloaded and, once manifestation completes, makes it the device's flash
// contents (and writes it to a file when asked). It also carries the faults
// the tests inject, around the core: a device that fails a block, falls
// silent, vanishes, stays busy forever or sends a malformed status report.
//
// Portable and single-threaded: SimDevice serialises the calls.
//
// The wire numbers come from the header the core and the host library
// share; the device core's own tests spell them out independently.
//
// Timing: a DNLOAD block and manifestation each take the configured poll
// timeout, counted from the GETSTATUS that first announces them; the clock
// is injectable so tests need no sleeping.
// A GETSTATUS that comes before the announced bwPollTimeout has elapsed is
// answered with the state unchanged and the time still left (a real device
// might stall instead); such early polls are counted so tests can check
// that a host honours bwPollTimeout.
//
// Firmware version convention: a flashed image whose first line is
// "hiddfu-sim firmware X.Y.Z\n" (the line within the first 64 bytes, the
// version 1-40 printable characters without spaces) sets the version the
// device reports to the control request "version" to X.Y.Z. Any other image
// keeps the version the device had.
#ifndef SIM_DFU_MACHINE_H
#define SIM_DFU_MACHINE_H

#include "hiddfu_device.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

namespace dfu {

enum State : uint8_t {
    kAppIdle = HIDDFU_STATE_APP_IDLE,
    kAppDetach = HIDDFU_STATE_APP_DETACH,
    kIdle = HIDDFU_STATE_DFU_IDLE,
    kDnloadSync = HIDDFU_STATE_DNLOAD_SYNC,
    kDnBusy = HIDDFU_STATE_DNBUSY,
    kDnloadIdle = HIDDFU_STATE_DNLOAD_IDLE,
    kManifestSync = HIDDFU_STATE_MANIFEST_SYNC,
    kManifest = HIDDFU_STATE_MANIFEST,
    kManifestWaitReset = HIDDFU_STATE_MANIFEST_WAIT_RESET,
    kUploadIdle = HIDDFU_STATE_UPLOAD_IDLE,
    kError = HIDDFU_STATE_DFU_ERROR,
};

enum Status : uint8_t {
    kOk = HIDDFU_STATUS_OK,
    kErrTarget = HIDDFU_STATUS_ERR_TARGET,
    kErrFile = HIDDFU_STATUS_ERR_FILE,
    kErrWrite = HIDDFU_STATUS_ERR_WRITE,
    kErrErase = HIDDFU_STATUS_ERR_ERASE,
    kErrCheckErased = HIDDFU_STATUS_ERR_CHECK_ERASED,
    kErrProg = HIDDFU_STATUS_ERR_PROG,
    kErrVerify = HIDDFU_STATUS_ERR_VERIFY,
    kErrAddress = HIDDFU_STATUS_ERR_ADDRESS,
    kErrNotDone = HIDDFU_STATUS_ERR_NOTDONE,
    kErrFirmware = HIDDFU_STATUS_ERR_FIRMWARE,
    kErrVendor = HIDDFU_STATUS_ERR_VENDOR,
    kErrUsbr = HIDDFU_STATUS_ERR_USBR,
    kErrPor = HIDDFU_STATUS_ERR_POR,
    kErrUnknown = HIDDFU_STATUS_ERR_UNKNOWN,
    kErrStalledPkt = HIDDFU_STATUS_ERR_STALLEDPKT,
};

enum Request : uint8_t {
    kDetach = HIDDFU_DFU_DETACH,
    kDnload = HIDDFU_DFU_DNLOAD,
    kUpload = HIDDFU_DFU_UPLOAD,
    kGetStatus = HIDDFU_DFU_GETSTATUS,
    kClrStatus = HIDDFU_DFU_CLRSTATUS,
    kGetState = HIDDFU_DFU_GETSTATE,
    kAbort = HIDDFU_DFU_ABORT,
};

const uint8_t kRequestReportId = HIDDFU_REPORT_REQUEST;
const uint8_t kStatusReportId = HIDDFU_REPORT_STATUS;
const uint8_t kFunctionalReportId = HIDDFU_REPORT_FUNCTIONAL;
const uint8_t kStateReportId = HIDDFU_REPORT_STATE;

// Report lengths with the id byte. The request report is this header plus
// the transfer size.
const size_t kRequestHeaderBytes = HIDDFU_REQUEST_HEADER_LENGTH;
const size_t kStatusReportBytes = HIDDFU_STATUS_REPORT_LENGTH;
const size_t kFunctionalReportBytes = HIDDFU_FUNCTIONAL_REPORT_LENGTH;
const size_t kStateReportBytes = HIDDFU_STATE_REPORT_LENGTH;
// The short status report the kShortReport fault sends.
const size_t kShortStatusReportBytes = 3;

// uhid carries at most 4096 bytes per report, id byte included.
const uint16_t kMaxTransferSize = 4090;

const uint8_t kAttrCanDownload = HIDDFU_ATTR_CAN_DNLOAD;
const uint8_t kAttrManifestationTolerant = HIDDFU_ATTR_MANIFESTATION_TOLERANT;
const uint8_t kAttrWillDetach = HIDDFU_ATTR_WILL_DETACH;
const uint16_t kBcdDfu = HIDDFU_BCD_DFU;

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
    // The request report that follows this many blocks of a download (the
    // one that would carry that block; in dfuIDLE or dfuDNLOAD-IDLE) is
    // stalled on sight, before its data is looked at: dfuERROR,
    // errSTALLEDPKT. Unlike failAtBlock, a USB transport can refuse it from
    // the setup packet alone.
    std::optional<uint32_t> stallAtBlock;
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

// What a manifested download took, seen from the device: its blocks, its
// bytes, and the time from the arrival of its first block to that of its
// last. (blocks - 1) blocks in `firstToLast` is the host's pace per block
// with nothing of its start-up or manifestation in it, whichever host and
// transport it was; the USB benchmark compares hosts by it.
struct DownloadTiming {
    uint32_t blocks = 0;
    size_t bytes = 0;
    std::chrono::microseconds firstToLast{0};
};

// The version the convention above finds in `image`; empty when none.
std::string firmwareVersionOf(const std::vector<uint8_t>& image);

// Writes `content` to `path` through a temporary file renamed over it, so a
// reader sees the old file or the whole new one.
bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& content);

class DfuMachine {
public:
    explicit DfuMachine(DfuConfig config);
    // A copy is a snapshot with its own core, bound to the copy.
    DfuMachine(const DfuMachine& other);
    DfuMachine& operator=(const DfuMachine&) = delete;

    const DfuConfig& config() const { return m_config; }

    // The longest feature report (the request report); 0 when DFU is off.
    uint16_t requestReportLength() const;

    // A SET_REPORT of a feature report, report id first.
    FeatureOutcome setReport(const uint8_t* report, size_t length);

    // Whether a SET_REPORT of feature report `reportId` is to be refused
    // before its data is read (the stallAtBlock fault). The transport then
    // stalls it and calls transportStall(); setReport does both itself.
    bool refusesSetBeforeData(uint8_t reportId) const;

    // A GET_REPORT of feature report `reportId`; *reply gets the report, id
    // first, when the outcome is kDone.
    FeatureOutcome getReport(uint8_t reportId, std::vector<uint8_t>* reply);

    // One DFU class request through the core's request layer, as a standard
    // USB DFU interface gets it on its control endpoint: `data` holds the
    // host-to-device data stage (setup.length bytes; may be null when there
    // is none); *reply gets the device-to-host answer when the outcome is
    // kDone. The block faults strike as they do through feature reports;
    // the status report faults are the HID reports' own and do not apply.
    FeatureOutcome classRequest(const hiddfu_dev_setup& setup, const uint8_t* data,
                                std::vector<uint8_t>* reply);

    // The transport lost a DFU request it should have taken (the core is
    // told it refused it: dfuERROR, errSTALLEDPKT).
    void transportStall();

    // Reads the flash file, if there is one, as the device's current
    // firmware. False when a file is named but cannot be read (a missing
    // file is an empty flash, not an error).
    bool loadFlash();

    uint8_t state() const { return hiddfu_dev_state(&m_core); }
    uint8_t status() const { return hiddfu_dev_status(&m_core); }
    const std::vector<uint8_t>& flash() const { return m_flash; }
    const std::vector<uint8_t>& downloaded() const { return m_download; }
    // The version of the flashed image; empty when it carried none.
    const std::string& firmwareVersion() const { return m_version; }
    unsigned manifestations() const { return m_manifestations; }
    // The download that manifested last; all zero before the first.
    const DownloadTiming& lastDownload() const { return m_lastDownload; }
    unsigned earlyPolls() const { return m_earlyPolls; }
    unsigned restarts() const { return m_restarts; }
    bool silent() const { return m_silent; }
    bool gone() const { return m_gone; }

    // After a DETACH: the delay in ms after which the device restarts
    // (re-enumerates). The machine itself is back in dfuIDLE already. Each
    // request is handed out once.
    std::optional<uint32_t> takeRestartRequest();

private:
    enum class Pending { kNone, kWrite, kManifest };

    // The core's callbacks; `user` is the machine.
    static int writeBlock(void* user, uint32_t offset, const uint8_t* data, uint16_t length);
    static int manifest(void* user, uint32_t imageLength);
    static void detach(void* user, uint16_t timeoutMs);
    static uint32_t pollTimeout(void* user);

    void bindCore();
    uint64_t now() const;
    void advance();
    void startPending(Pending operation, uint32_t durationMs);
    uint8_t completeManifestation();
    void restart();
    void dropAbandonedDownload();
    std::vector<uint8_t> garbled(std::vector<uint8_t> statusReport) const;

    DfuConfig m_config;
    hiddfu_dev_config m_coreConfig{};
    std::vector<uint8_t> m_transferBuffer;
    hiddfu_dev m_core{};
    Pending m_pending = Pending::kNone;
    uint32_t m_pendingMs = 0;         // how long the pending operation takes
    bool m_clockRunning = false;      // its time has started: m_deadlineMs holds
    uint64_t m_deadlineMs = 0;        // end of the pending operation
    uint32_t m_blocks = 0;            // blocks of the current download
    std::chrono::steady_clock::time_point m_firstBlockAt;  // of the current download
    std::chrono::steady_clock::time_point m_lastBlockAt;
    DownloadTiming m_lastDownload;
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
