// The upgrade library's portable core: the seven calls of HidDfu.h as
// methods of one object over the HID platform layer, so that tests can run
// several instances against the in-process simulator backend. The C layer
// (hiddfu_api.cpp) keeps one instance.
//
// Threads: connect, disconnect, upgrade and resetDevice take the object's
// mutex, so they may come from different threads (the tool disconnects from
// its timer thread). progress and result never block: they read atomics
// that the worker thread writes.
#ifndef HIDDFU_UPGRADE_LIBRARY_H
#define HIDDFU_UPGRADE_LIBRARY_H

#include "dfu_channel.h"
#include "dfu_protocol.h"
#include "download.h"
#include "hid_platform.h"

#include <cstdint>
#include <mutex>
#include <thread>

namespace hiddfu {

// The library's own version, as hidDfuGetVersion reports it.
struct LibraryVersion {
    uint16_t major;
    uint16_t minor;
    uint16_t release;
    uint16_t build;
};
LibraryVersion libraryVersion();

class UpgradeLibrary {
public:
    explicit UpgradeLibrary(const Limits& limits = Limits());
    // Disconnects: a running upgrade is stopped and its worker joined.
    ~UpgradeLibrary();
    UpgradeLibrary(const UpgradeLibrary&) = delete;
    UpgradeLibrary& operator=(const UpgradeLibrary&) = delete;

    // Ends any connection, counts the upgradable interfaces with these ids
    // (also those another program holds) and connects to the first one this
    // process can hold alone. usagePage and usage are not used (see
    // docs/protocol.md). 0 when connected; kDeviceBusy when every one counted
    // is held by another program; kNotConnected when none was found.
    int32_t connect(uint16_t vendorId, uint16_t productId, uint16_t usagePage, uint16_t usage,
                    uint16_t* deviceCount);

    // Stops a running upgrade (result kCancelled), joins the worker and closes
    // the device. Harmless when not connected. Progress and result of the
    // last upgrade stay readable.
    int32_t disconnect();

    // Checks the DFU file and the device, then starts the download on the
    // worker thread: 0. Otherwise a negative result, the device untouched;
    // when the file or the device was the reason, result() then gives the
    // precise one (results.h).
    int32_t upgrade(const char* path, uint8_t flags);

    uint8_t progress() const { return m_progress.percent(); }
    int32_t result() const { return m_progress.result(); }

    // DETACH with the device's detach timeout.
    int32_t resetDevice();

    bool connected() const;

private:
    void disconnectLocked();
    void joinFinishedWorker();
    // With the mutex held: kSuccess when the connection can take a request
    // (connected, no upgrade running), else kNotConnected or kUpgradeRunning.
    // A worker that has finished is joined first.
    int32_t checkReadyLocked();
    // Opens the interface at `index` with `access` and tells whether it is
    // upgradable; an upgradable one is kept open in *kept (with m_reports)
    // when kept is given, every other interface is closed again.
    bool probe(unsigned index, Access access, uint16_t vendorId, uint16_t productId, Device* kept,
               OpenFailure* why);
    bool isUpgradable(Handle handle, uint16_t vendorId, uint16_t productId, ProtocolReports* reports);
    int32_t checkDownloadable() const;
    int32_t refuse(int32_t reason);

    const Limits m_limits;
    mutable std::mutex m_mutex;

    // The connection.
    Device m_device;
    uint16_t m_vendorId = 0;
    uint16_t m_productId = 0;
    ProtocolReports m_reports;
    bool m_functionalRead = false;
    FunctionalDescriptor m_functional;

    // The upgrade.
    std::thread m_worker;
    StopSignal m_stop;
    UpgradeProgress m_progress;
};

} // namespace hiddfu

#endif
