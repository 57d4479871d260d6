#include "upgrade_library.h"

#include "kr_dfufirmware.h"
#include "results.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <memory>
#include <system_error>
#include <utility>

#ifndef HIDDFU_LIBRARY_BUILD
#define HIDDFU_LIBRARY_BUILD 0
#endif

namespace hiddfu {

namespace {

// DETACH's wValue when the functional report could not be read.
const uint16_t kDefaultDetachTimeoutMs = 1000;

bool idMatches(uint16_t fileId, uint16_t deviceId, uint16_t anyId)
{
    return fileId == anyId || fileId == deviceId;
}

// What the worker thread owns: the image, and its own channel to the device.
struct WorkerJob {
    std::unique_ptr<kr::DfuFirmware> firmware;
    DfuChannel channel;
    uint16_t transferSize;
};

void runWorker(WorkerJob job, const Limits& limits, UpgradeProgress& progress, StopSignal& stop)
{
    int32_t outcome;
    try {
        Download download(job.channel, job.firmware->data(), job.firmware->size(), job.transferSize, limits,
                          progress, stop);
        outcome = download.run();
    } catch (const std::exception&) {
        // Out of memory for a report buffer: the download cannot go on.
        outcome = result::kSystemError;
    }
    progress.finish(outcome);
}

} // namespace

LibraryVersion libraryVersion()
{
    return {HIDDFU_LIBRARY_VERSION_MAJOR, HIDDFU_LIBRARY_VERSION_MINOR, HIDDFU_LIBRARY_VERSION_RELEASE,
            HIDDFU_LIBRARY_BUILD};
}

UpgradeLibrary::UpgradeLibrary(const Limits& limits) : m_limits(limits) {}

UpgradeLibrary::~UpgradeLibrary()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    disconnectLocked();
}

bool UpgradeLibrary::connected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_device.valid();
}

int32_t UpgradeLibrary::connect(uint16_t vendorId, uint16_t productId, uint16_t /*usagePage*/,
                                uint16_t /*usage*/, uint16_t* deviceCount)
{
    if (deviceCount == nullptr)
        return result::kInvalidArgument;
    std::lock_guard<std::mutex> lock(m_mutex);
    disconnectLocked();
    m_progress.clear(result::kNotConnected);

    // Every interface the platform has is looked at, with no fixed bound.
    // The ids are read without opening where the platform can (so only
    // matching interfaces are opened at all); a matching one is counted when it opens for a query and
    // speaks the protocol, whether or not another program holds it, and the
    // first of those this process can hold alone becomes the connection.
    // Interfaces that cannot be opened are skipped, as before: a gap ends
    // nothing.
    unsigned count = 0;
    bool busySeen = false;
    const unsigned interfaces = hidplatform::interfaceCount();
    for (unsigned index = 0; index < interfaces; ++index) {
        uint16_t peekedVendor = 0;
        uint16_t peekedProduct = 0;
        if (hidplatform::peekAttributes(index, &peekedVendor, &peekedProduct) &&
            (peekedVendor != vendorId || peekedProduct != productId))
            continue;
        if (!probe(index, Access::kQuery, vendorId, productId, nullptr, nullptr))
            continue;
        ++count;
        if (m_device.valid())
            continue;
        OpenFailure why = OpenFailure::kNone;
        if (!probe(index, Access::kExclusive, vendorId, productId, &m_device, &why))
            busySeen = busySeen || why == OpenFailure::kInUse;
    }
    *deviceCount = static_cast<uint16_t>(std::min<unsigned>(count, std::numeric_limits<uint16_t>::max()));
    if (!m_device.valid())
        return busySeen ? result::kDeviceBusy : result::kNotConnected;

    m_vendorId = vendorId;
    m_productId = productId;
    DfuChannel channel(m_device.get(), m_reports);
    m_functionalRead = channel.readFunctional(&m_functional);
    return result::kSuccess;
}

bool UpgradeLibrary::probe(unsigned index, Access access, uint16_t vendorId, uint16_t productId,
                           Device* kept, OpenFailure* why)
{
    Device device(hidplatform::openByIndex(index, access, why));
    if (!device.valid())
        return false;
    ProtocolReports reports;
    const bool upgradable = isUpgradable(device.get(), vendorId, productId, &reports);
    if (upgradable && kept != nullptr) {
        *kept = std::move(device);
        m_reports = reports;
    }
    return upgradable;
}

bool UpgradeLibrary::isUpgradable(Handle handle, uint16_t vendorId, uint16_t productId,
                                  ProtocolReports* reports)
{
    uint16_t deviceVendor = 0;
    uint16_t deviceProduct = 0;
    std::vector<FeatureReport> declared;
    return hidplatform::getAttributes(handle, &deviceVendor, &deviceProduct) && deviceVendor == vendorId &&
           deviceProduct == productId && hidplatform::getFeatureReports(handle, &declared) &&
           findProtocolReports(declared, reports);
}

int32_t UpgradeLibrary::disconnect()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    disconnectLocked();
    return result::kSuccess;
}

void UpgradeLibrary::disconnectLocked()
{
    if (m_worker.joinable()) {
        m_stop.request();
        m_worker.join();
    }
    m_device.reset();
    m_functionalRead = false;
}

void UpgradeLibrary::joinFinishedWorker()
{
    if (m_worker.joinable() && !m_progress.running())
        m_worker.join();
}

int32_t UpgradeLibrary::checkReadyLocked()
{
    if (!m_device.valid())
        return result::kNotConnected;
    joinFinishedWorker();
    return m_worker.joinable() ? result::kUpgradeRunning : result::kSuccess;
}

int32_t UpgradeLibrary::checkDownloadable() const
{
    DfuChannel channel(m_device.get(), m_reports);
    if (!m_functionalRead)
        return result::kCannotDownload;
    if (!m_functional.canDownload())
        return result::kDownloadNotSupported;
    if (m_functional.transferSize == 0)
        return result::kTransferSizeZero;
    if (m_functional.transferSize > channel.maxTransferSize())
        return result::kTransferSizeTooLarge;
    return result::kSuccess;
}

int32_t UpgradeLibrary::refuse(int32_t reason)
{
    // The precise reason stays readable through result(); the call returns
    // the documented broader number.
    m_progress.clear(reason);
    switch (reason) {
    case result::kEmptyPayload:
        return result::kFileInvalid;
    case result::kDownloadNotSupported:
    case result::kTransferSizeZero:
    case result::kTransferSizeTooLarge:
        return result::kCannotDownload;
    default:
        return reason;
    }
}

int32_t UpgradeLibrary::upgrade(const char* path, uint8_t flags)
{
    if (path == nullptr || flags != 1)
        return result::kInvalidArgument;
    std::lock_guard<std::mutex> lock(m_mutex);
    const int32_t ready = checkReadyLocked();
    if (ready != result::kSuccess)
        return ready;

    // The file is read again and checked whole: it may have changed since
    // the caller looked at it.
    auto firmware = std::make_unique<kr::DfuFirmware>();
    if (!firmware->load(path, false))
        return refuse(result::kFileInvalid);
    if (firmware->size() == 0)
        return refuse(result::kEmptyPayload);
    if (!idMatches(firmware->idVendor(), m_vendorId, kr::DfuFirmware::kAnyVendorId) ||
        !idMatches(firmware->idProduct(), m_productId, kr::DfuFirmware::kAnyProductId))
        return refuse(result::kWrongDevice);
    const int32_t downloadable = checkDownloadable();
    if (downloadable != result::kSuccess)
        return refuse(downloadable);

    m_stop.clear();
    m_progress.begin(firmware->size());
    WorkerJob job{std::move(firmware), DfuChannel(m_device.get(), m_reports), m_functional.transferSize};
    try {
        m_worker = std::thread(runWorker, std::move(job), std::cref(m_limits), std::ref(m_progress),
                               std::ref(m_stop));
    } catch (const std::system_error&) {
        m_progress.clear(result::kSystemError);
        return result::kSystemError;
    }
    return result::kSuccess;
}

int32_t UpgradeLibrary::resetDevice()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int32_t ready = checkReadyLocked();
    if (ready != result::kSuccess)
        return ready;
    const uint16_t timeout = m_functionalRead ? m_functional.detachTimeoutMs : kDefaultDetachTimeoutMs;
    DfuChannel channel(m_device.get(), m_reports);
    return channel.send(Request::kDetach, timeout) ? result::kSuccess : result::kDeviceLost;
}

} // namespace hiddfu
