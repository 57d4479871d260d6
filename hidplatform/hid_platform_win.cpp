// The HID platform layer on Windows: SetupAPI finds the HID interfaces,
// hid.dll reads their attributes and report capabilities, and reports move
// with overlapped ReadFile/WriteFile on a handle opened with
// FILE_FLAG_OVERLAPPED, each transfer with its own event so that it can be
// waited for with a time limit.
//
// A Handle is the HANDLE widened to intptr_t. INVALID_HANDLE_VALUE is -1,
// which is kInvalidHandle; every call refuses it up front, because -1 is also
// the pseudo-handle of the current process and must never reach an I/O call.
//
// An exclusive handle also holds a named semaphore for its device path
// (DeviceLock), released when the handle is closed: one run per device.
//
// A transfer that is still pending when its wait ends is cancelled
// (CancelIoEx) and then waited for until the system has really finished with
// it, so the report buffer and the OVERLAPPED record, both locals of the
// transfer, are never written after it returns. If the transfer completed
// after all while being cancelled, it is reported as done: the report was
// moved, and a read's report would otherwise be lost.
#include "hid_platform.h"

#include <windows.h>

#include <setupapi.h>

// hid.dll's headers declare C functions without a C++ linkage guard.
// hidsdi.h first: it defines the NTSTATUS that hidpi.h uses.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace hidplatform {

namespace {

HANDLE toWin(Handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

bool isValid(Handle handle)
{
    return handle != kInvalidHandle;
}

// SetupAPI's list of the present HID interfaces, destroyed with its owner.
struct InterfaceSetTraits {
    using Value = HDEVINFO;
    static HDEVINFO invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HDEVINFO set) { SetupDiDestroyDeviceInfoList(set); }
};
using InterfaceSet = ScopedHandle<InterfaceSetTraits>;

InterfaceSet presentInterfaces(const GUID& hidGuid)
{
    return InterfaceSet(SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
}

// A kernel object handle that is null when there is none (events,
// semaphores), closed with its owner.
struct KernelObjectTraits {
    using Value = HANDLE;
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE object) { CloseHandle(object); }
};
using KernelObject = ScopedHandle<KernelObjectTraits>;

// The manual-reset, initially not signalled event of one transfer.
KernelObject transferEvent()
{
    return KernelObject(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

// The parsed report descriptor of an interface, released with its owner.
struct PreparsedDataTraits {
    using Value = PHIDP_PREPARSED_DATA;
    static PHIDP_PREPARSED_DATA invalid() { return nullptr; }
    static void close(PHIDP_PREPARSED_DATA data) { HidD_FreePreparsedData(data); }
};
using PreparsedData = ScopedHandle<PreparsedDataTraits>;

// The parsed report descriptor of an opened interface, and the capabilities
// read from it; false when either cannot be had.
bool readCaps(Handle handle, PreparsedData* preparsed, HIDP_CAPS* caps)
{
    if (!isValid(handle))
        return false;
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(toWin(handle), &data))
        return false;
    preparsed->reset(data);
    std::memset(caps, 0, sizeof *caps);
    return HidP_GetCaps(preparsed->get(), caps) == HIDP_STATUS_SUCCESS;
}

// The zero-terminated device path of one interface of the set, or false
// when the interface's detail cannot be had (no usable size, no memory, or
// the second request fails).
bool devicePath(const InterfaceSet& set, SP_DEVICE_INTERFACE_DATA* interfaceData, std::vector<char>* path)
{
    // The first request only tells the size; its result (a failure for want
    // of a buffer) says nothing more.
    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailA(set.get(), interfaceData, nullptr, 0, &requiredSize, nullptr);
    const DWORD fixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (requiredSize < fixedSize)
        return false;

    // DWORD elements keep the record aligned; one element more than needed
    // stays zero, so the path is terminated even if the system fills the
    // whole of requiredSize.
    std::vector<DWORD> buffer;
    try {
        buffer.assign(requiredSize / sizeof(DWORD) + 2, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = fixedSize;
    if (!SetupDiGetDeviceInterfaceDetailA(set.get(), interfaceData, detail, requiredSize, &requiredSize,
                                          nullptr))
        return false;
    const char* begin = detail->DevicePath;
    path->assign(begin, begin + std::strlen(begin) + 1);
    return true;
}

// Overlapped I/O on a HID interface, for reports moved with ReadFile and
// WriteFile. A query handle has no read or write access: it opens even where
// the system holds the interface for itself, and it is enough for the
// attributes and the report descriptor. Read-write handles, exclusive ones
// included, share reading and writing: the hold of an exclusive handle is a
// device lock of its own (DeviceLock), binding the programs that ask for it
// as flock does on Linux, so another program that merely has the interface
// open does not keep hiddfu out.
HANDLE openForReports(const char* path, Access access)
{
    const DWORD rights = access == Access::kQuery ? 0 : GENERIC_READ | GENERIC_WRITE;
    return CreateFileA(path, rights, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// The lock that makes an exclusive handle exclusive: a named semaphore of
// count 1 per device path, taken without waiting. A semaphore rather than a
// mutex because the handle may be closed on another thread than the one that
// opened it (the update disconnects from its timer thread), and a mutex
// belongs to a thread. The object lives only while some process has it open,
// so a holder that dies frees the device with it. The name is a hash of the
// path in lower case (paths are case-insensitive and may outgrow an object
// name), in the Global namespace so that runs in other sessions see it too.
class DeviceLock {
public:
    // Takes the lock of `path`; false, with *why kInUse, when another handle
    // holds it (or another user's process does: its object then refuses us).
    static bool take(const char* path, HANDLE* semaphore, OpenFailure* why)
    {
        const std::string name = objectName(path);
        KernelObject lock(CreateSemaphoreA(nullptr, 1, 1, name.c_str()));
        if (!lock.valid()) {
            *why = GetLastError() == ERROR_ACCESS_DENIED ? OpenFailure::kInUse : OpenFailure::kOther;
            return false;
        }
        if (WaitForSingleObject(lock.get(), 0) != WAIT_OBJECT_0) {
            *why = OpenFailure::kInUse;
            return false;
        }
        *semaphore = lock.release();
        return true;
    }

    // Gives the lock back before closing, so that no later run finds a
    // count of 0 on an object that outlives this handle in another process.
    static void release(HANDLE semaphore)
    {
        ReleaseSemaphore(semaphore, 1, nullptr);
        CloseHandle(semaphore);
    }

    // Which device handle holds which lock.
    static std::mutex& tableMutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::map<HANDLE, HANDLE>& table()
    {
        static std::map<HANDLE, HANDLE> held;
        return held;
    }

private:
    static std::string objectName(const char* path)
    {
        // 64-bit FNV-1a of the lower-cased path.
        uint64_t hash = 14695981039346656037ull;
        for (const char* c = path; *c != '\0'; ++c) {
            hash ^= static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(*c)));
            hash *= 1099511628211ull;
        }
        char name[64];
        std::snprintf(name, sizeof name, "Global\\hiddfu-hid-%016llx", static_cast<unsigned long long>(hash));
        return name;
    }
};

OpenFailure openFailureOf(DWORD error)
{
    switch (error) {
    case ERROR_SHARING_VIOLATION:
        return OpenFailure::kInUse;
    case ERROR_ACCESS_DENIED:
        return OpenFailure::kAccessDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
        return OpenFailure::kNoInterface;
    default:
        return OpenFailure::kOther;
    }
}

// The device path of the interface at `index`; false when there is none.
bool pathAt(unsigned index, std::vector<char>* path)
{
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    const InterfaceSet set = presentInterfaces(hidGuid);
    if (!set.valid())
        return false;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;
    return SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidGuid, index, &interfaceData) &&
           devicePath(set, &interfaceData, path);
}

DWORD waitMilliseconds(int timeoutMs)
{
    return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
}

// Stops a transfer whose wait has ended and waits until the system is done
// with it. True when it completed after all; *count then has its byte count.
bool cancelAndSettle(HANDLE device, OVERLAPPED* ov, DWORD* count)
{
    // ERROR_NOT_FOUND: the transfer finished before the cancellation.
    if (!CancelIoEx(device, ov) && GetLastError() != ERROR_NOT_FOUND)
        CancelIo(device);
    return GetOverlappedResult(device, ov, count, TRUE) != FALSE;
}

// Waits for a transfer that ReadFile or WriteFile left pending. `waitForResult`
// is the wait flag given to GetOverlappedResult once the event is signalled.
IoResult finishPending(HANDLE device, OVERLAPPED* ov, int timeoutMs, BOOL waitForResult, DWORD* count)
{
    const DWORD waited = WaitForSingleObject(ov->hEvent, waitMilliseconds(timeoutMs));
    if (waited == WAIT_OBJECT_0)
        return GetOverlappedResult(device, ov, count, waitForResult) ? IoResult::kDone : IoResult::kError;
    if (cancelAndSettle(device, ov, count))
        return IoResult::kDone;
    return waited == WAIT_TIMEOUT ? IoResult::kTimeout : IoResult::kError;
}

// What a transfer that ReadFile or WriteFile started came to.
IoResult transferOutcome(BOOL doneAtOnce, HANDLE device, OVERLAPPED* ov, int timeoutMs, BOOL waitForResult,
                         DWORD* count)
{
    if (doneAtOnce)
        return IoResult::kDone;
    if (GetLastError() != ERROR_IO_PENDING)
        return IoResult::kError;
    return finishPending(device, ov, timeoutMs, waitForResult, count);
}

// An OVERLAPPED record for a transfer at offset 0 that signals `event`.
OVERLAPPED overlappedWith(const KernelObject& event)
{
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = event.get();
    return ov;
}

void copyOut(const std::vector<uint8_t>& report, size_t count, uint8_t* buffer, size_t capacity, size_t* got)
{
    const size_t copied = std::min({count, report.size(), capacity});
    std::memcpy(buffer, report.data(), copied);
    *got = copied;
}

} // namespace

unsigned interfaceCount()
{
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    const InterfaceSet set = presentInterfaces(hidGuid);
    if (!set.valid())
        return 0;
    unsigned count = 0;
    for (;;) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        std::memset(&interfaceData, 0, sizeof interfaceData);
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidGuid, count, &interfaceData))
            return count;
        ++count;
    }
}

bool peekAttributes(unsigned index, uint16_t* vendorId, uint16_t* productId)
{
    const Device query(openByIndex(index, Access::kQuery, nullptr));
    return getAttributes(query.get(), vendorId, productId);
}

std::string interfacePath(unsigned index)
{
    std::vector<char> path;
    if (!pathAt(index, &path))
        return std::string();
    return std::string(path.data());
}

Handle openByIndex(unsigned index, Access access, OpenFailure* why)
{
    std::vector<char> path;
    if (!pathAt(index, &path)) {
        if (why != nullptr)
            *why = OpenFailure::kNoInterface;
        return kInvalidHandle;
    }
    OpenFailure failure = OpenFailure::kNone;
    HANDLE lock = nullptr;
    if (access == Access::kExclusive && !DeviceLock::take(path.data(), &lock, &failure)) {
        if (why != nullptr)
            *why = failure;
        return kInvalidHandle;
    }
    const HANDLE device = openForReports(path.data(), access);
    if (why != nullptr)
        *why = device == INVALID_HANDLE_VALUE ? openFailureOf(GetLastError()) : OpenFailure::kNone;
    if (lock != nullptr) {
        if (device == INVALID_HANDLE_VALUE) {
            DeviceLock::release(lock);
        } else {
            try {
                std::lock_guard<std::mutex> guard(DeviceLock::tableMutex());
                DeviceLock::table()[device] = lock;
            } catch (const std::exception&) {
                // No memory to remember the lock: the handle could not be
                // held, so it is not handed out.
                DeviceLock::release(lock);
                CloseHandle(device);
                if (why != nullptr)
                    *why = OpenFailure::kOther;
                return kInvalidHandle;
            }
        }
    }
    return reinterpret_cast<Handle>(device);
}

void close(Handle handle)
{
    if (!isValid(handle))
        return;
    HANDLE lock = nullptr;
    {
        std::lock_guard<std::mutex> guard(DeviceLock::tableMutex());
        auto held = DeviceLock::table().find(toWin(handle));
        if (held != DeviceLock::table().end()) {
            lock = held->second;
            DeviceLock::table().erase(held);
        }
    }
    CloseHandle(toWin(handle));
    if (lock != nullptr)
        DeviceLock::release(lock);
}

bool getAttributes(Handle handle, uint16_t* vendorId, uint16_t* productId)
{
    if (!isValid(handle))
        return false;
    HIDD_ATTRIBUTES attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(toWin(handle), &attributes))
        return false;
    *vendorId = attributes.VendorID;
    *productId = attributes.ProductID;
    return true;
}

bool getReportLengths(Handle handle, ReportLengths* lengths)
{
    PreparsedData preparsed;
    HIDP_CAPS caps;
    if (!readCaps(handle, &preparsed, &caps))
        return false;
    lengths->input = caps.InputReportByteLength;
    lengths->output = caps.OutputReportByteLength;
    lengths->feature = caps.FeatureReportByteLength;
    return true;
}

// Feature reports, for the upgrade library: the report ids of the feature
// value and button capabilities, each with the interface's feature report
// length (Windows moves every feature report in a buffer of that length).
bool getFeatureReports(Handle handle, std::vector<FeatureReport>* reports)
{
    PreparsedData preparsed;
    HIDP_CAPS caps;
    if (!readCaps(handle, &preparsed, &caps))
        return false;

    std::vector<uint8_t> ids;
    USHORT valueCount = caps.NumberFeatureValueCaps;
    if (valueCount > 0) {
        std::vector<HIDP_VALUE_CAPS> values(valueCount);
        if (HidP_GetValueCaps(HidP_Feature, values.data(), &valueCount, preparsed.get()) != HIDP_STATUS_SUCCESS)
            return false;
        for (USHORT i = 0; i < valueCount && i < values.size(); ++i)
            ids.push_back(values[i].ReportID);
    }
    USHORT buttonCount = caps.NumberFeatureButtonCaps;
    if (buttonCount > 0) {
        std::vector<HIDP_BUTTON_CAPS> buttons(buttonCount);
        if (HidP_GetButtonCaps(HidP_Feature, buttons.data(), &buttonCount, preparsed.get()) != HIDP_STATUS_SUCCESS)
            return false;
        for (USHORT i = 0; i < buttonCount && i < buttons.size(); ++i)
            ids.push_back(buttons[i].ReportID);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

    reports->clear();
    for (uint8_t id : ids)
        reports->push_back(FeatureReport{id, caps.FeatureReportByteLength});
    return true;
}

IoResult writeReport(Handle handle, const uint8_t* report, size_t length, int timeoutMs, size_t* written)
{
    if (!isValid(handle) || report == nullptr || length == 0 || length > MAXDWORD)
        return IoResult::kError;
    // Written as given: the caller passes exactly the output report length,
    // which Windows requires. The caller's bytes are only read, and only
    // until this call returns.
    const KernelObject event = transferEvent();
    if (!event.valid())
        return IoResult::kError;
    OVERLAPPED ov = overlappedWith(event);
    DWORD count = 0;
    const BOOL doneAtOnce =
        WriteFile(toWin(handle), report, static_cast<DWORD>(length), &count, &ov);
    const IoResult result = transferOutcome(doneAtOnce, toWin(handle), &ov, timeoutMs, TRUE, &count);
    if (result == IoResult::kDone)
        *written = count;
    return result;
}

IoResult readReport(Handle handle, uint8_t* buffer, size_t capacity, int timeoutMs, size_t* got)
{
    if (!isValid(handle) || buffer == nullptr || capacity == 0)
        return IoResult::kError;
    // ReadFile on a HID interface wants room for a whole input report, which
    // the caller's buffer need not have: read into one of the report's own
    // size and hand over what fits.
    ReportLengths lengths;
    if (!getReportLengths(handle, &lengths) || lengths.input == 0)
        return IoResult::kError;
    std::vector<uint8_t> report(lengths.input, 0);
    const KernelObject event = transferEvent();
    if (!event.valid())
        return IoResult::kError;
    OVERLAPPED ov = overlappedWith(event);
    DWORD count = 0;
    const BOOL doneAtOnce =
        ReadFile(toWin(handle), report.data(), static_cast<DWORD>(report.size()), &count, &ov);
    const IoResult result = transferOutcome(doneAtOnce, toWin(handle), &ov, timeoutMs, FALSE, &count);
    if (result == IoResult::kDone)
        copyOut(report, count, buffer, capacity, got);
    return result;
}

bool setFeature(Handle handle, const uint8_t* report, size_t length)
{
    if (!isValid(handle) || report == nullptr || length == 0 || length > ULONG_MAX)
        return false;
    // Windows wants a buffer of the interface's feature report length;
    // a shorter report is padded with zeros. The copy is also what the
    // non-const buffer argument of HidD_SetFeature gets.
    ReportLengths lengths;
    const size_t featureLength = getReportLengths(handle, &lengths) ? lengths.feature : 0;
    std::vector<uint8_t> buffer(std::max(length, featureLength), 0);
    std::memcpy(buffer.data(), report, length);
    return HidD_SetFeature(toWin(handle), buffer.data(), static_cast<ULONG>(buffer.size())) != FALSE;
}

bool getFeature(Handle handle, uint8_t* report, size_t capacity, size_t* got)
{
    if (!isValid(handle) || report == nullptr || capacity == 0)
        return false;
    // HidD_GetFeature fills a whole feature report and does not say how many
    // bytes of it the device sent: the count is the report length.
    ReportLengths lengths;
    if (!getReportLengths(handle, &lengths) || lengths.feature == 0)
        return false;
    std::vector<uint8_t> buffer(lengths.feature, 0);
    buffer[0] = report[0];
    if (!HidD_GetFeature(toWin(handle), buffer.data(), static_cast<ULONG>(buffer.size())))
        return false;
    copyOut(buffer, buffer.size(), report, capacity, got);
    return true;
}

} // namespace hidplatform
