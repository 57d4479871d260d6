// The device commands that go through the upgrade library: version, devices,
// reset and update with its progress poll. They sit in a source file of
// their own so that programs linking only the documents and the set/get
// command need no upgrade library.
#include "kr_mvcommand.h"

#include "HidDfu.h"
#include "kr_devicediagnosis.h"
#include "kr_dfufirmware.h"
#include "kr_interrupt.h"
#include "kr_progresstimer.h"

#include <cstdio>
#include <string>

namespace kr {

std::atomic<int32_t> _updating{0};

namespace {

// What the progress poll works on while an upgrade runs. Set by the command
// before the timer is created (creating it orders these writes before every
// tick) and cleared after the wait.
struct RunningUpdate {
    JSONTransfer* document = nullptr;
    ProgressTimer* timer = nullptr;
    FILE* out = nullptr;
    bool stopped = false;  // touched by the ticks only
};
RunningUpdate g_running;

// Connects to the devices with these ids (their low 16 bits): how many
// were counted and whether one is now connected. Every device counted may
// be held by another run, and then none is connected.
struct Connection {
    uint16_t count = 0;
    bool connected = false;
    bool busy = false;
};

Connection connectDevices(int32_t vid, int32_t pid)
{
    uint16 deviceCount = 0;
    const int32 result = hidDfuConnect(static_cast<uint16>(vid), static_cast<uint16>(pid), 0, 0, &deviceCount);
    Connection connection;
    connection.count = deviceCount;
    connection.busy = result == HIDDFU_ERROR_DEVICE_BUSY;
    // A device can be counted and still not be connected (held elsewhere,
    // or gone between the count and the open).
    connection.connected = deviceCount != 0 && result == 0;
    return connection;
}

// An identifier field above ffff names no USB device: it must match none,
// not the device its low 16 bits happen to name.
bool fitsUsbId(int32_t field)
{
    return static_cast<uint32_t>(field) <= 0xffffu;
}

// The line on `err` for a connect that reached no device: held by another
// program, or closed to this user.
void explainNoConnection(FILE* err, int32_t vid, int32_t pid, const Connection& connection)
{
    if (connection.busy)
        printDeviceInUse(err, static_cast<uint32_t>(vid), static_cast<uint32_t>(pid), std::string());
    else
        explainDeniedDevice(err, static_cast<uint32_t>(vid), static_cast<uint32_t>(pid));
}

// The one line that says why hidDfuUpgrade refused: the precise reason the
// library keeps for hidDfuGetResult, else the call's own number.
void explainRefusal(FILE* err, int32 upgradeResult)
{
    const char* text = upgradeRefusalText(hidDfuGetResult());
    if (text == nullptr)
        text = upgradeRefusalText(upgradeResult);
    if (text != nullptr)
        std::fprintf(err, "%s\n", text);
    else
        std::fprintf(err, "Upgrade refused by the upgrade library (%i)\n", static_cast<int>(upgradeResult));
    std::fflush(err);
}

void printText(FILE* out, const char* text)
{
    std::fputs(text, out);
    std::fflush(out);
}

// Loads the file whole (suffix and checksum checked) and compares its ids
// with the identifier's. Returns the failure text, or null. The image is
// released on return: the library reads the file itself, so holding this
// copy through the transfer would only double the memory a large file takes.
const char* checkFirmwareFile(const char* source, int32_t vid, int32_t pid)
{
    DfuFirmware firmware;
    if (!firmware.load(source, false))
        return "Unable to load firmware file";
    // The file's 16-bit ids against the identifier's full fields: a field
    // above ffff matches no file, and ffff in a file matches only ffff.
    if (firmware.idVendor() != vid || firmware.idProduct() != pid)
        return "Firmware file not valid for the target device";
    return nullptr;
}

// The update's checks and the library calls up to the started upgrade, in
// their order. Returns the failure text, or null once the upgrade has
// started. The file is verified before the device is touched. A failed
// connect or a refused upgrade makes no hidDfuDisconnect call: nothing runs
// in the library then, and the run ends right after.
const char* startUpgrade(const char* source, int32_t vid, int32_t pid, bool identifierValid,
                         FILE* err)
{
    if (!identifierValid)
        return "Invalid device identifier";
    if (const char* fileFailure = checkFirmwareFile(source, vid, pid))
        return fileFailure;
    const Connection connection = connectDevices(vid, pid);
    if (!connection.connected) {
        explainNoConnection(err, vid, pid, connection);
        return "Unable to connect to device";
    }
    const int32 upgradeResult = hidDfuUpgrade(source, 1);
    if (upgradeResult != 0) {
        explainRefusal(err, upgradeResult);
        return "Unable to upgrade connected device";
    }
    return nullptr;
}

// No timer could be created, so nobody would ever poll: stop the library's
// transfer (disconnecting ends and joins its worker) and give the document
// its final state.
bool abandonUpgrade(JSONTransfer& document, FILE* out)
{
    document.setState(JSONTransfer::kStateFail, "Unable to start progress timer");
    hidDfuDisconnect();
    document.write(out);
    _updating.store(0, std::memory_order_release);
    return false;
}

// The upgrade has started: polls it from the timer until the final poll has
// written the last line and cleared _updating.
bool followUpgrade(JSONTransfer& document, ProgressTimer& timer, FILE* out)
{
    g_running.document = &document;
    g_running.timer = &timer;
    g_running.out = out;
    _updating.store(1, std::memory_order_release);

    bool succeeded = false;
    if (timer.start(&checkProgress)) {
        // The final tick cancels the timer and its last act clears
        // _updating; the wait ends once that tick has returned, and all it
        // did is visible here.
        timer.waitUntilStopped();
        succeeded = !document.didFail();
    } else {
        succeeded = abandonUpgrade(document, out);
    }
    g_running = RunningUpdate();
    return succeeded;
}

} // namespace

bool mv_CommandVersion(FILE* out)
{
    JSONVersion document;
    document.write(out);
    return true;
}

bool mv_CommandDevices(uint16_t idVendor, uint16_t idProduct, FILE* out, FILE* err)
{
    const uint16_t deviceCount = connectDevices(idVendor, idProduct).count;
    hidDfuDisconnect();
    explainDeniedDevice(err, idVendor, idProduct);
    JSONDevices document;
    document.updateDeviceList(deviceCount, idVendor, idProduct);
    document.write(out);
    return true;
}

bool mv_CommandReset(const char* identifier, FILE* out, FILE* err)
{
    int32_t vid = 0;
    int32_t pid = 0;
    if (!detail::readIdentifierOrSayInvalid(identifier, out, vid, pid))
        return false;
    // A reset that reaches no device resets nothing: it says so and fails,
    // rather than announcing a reset and reporting success.
    if (!fitsUsbId(vid) || !fitsUsbId(pid)) {
        printText(out, "Unable to connect to device");
        return false;
    }
    const Connection connection = connectDevices(vid, pid);
    if (!connection.connected) {
        // A device another run holds is not reset under it.
        explainNoConnection(err, vid, pid, connection);
        printText(out, "Unable to connect to device");
        return false;
    }
    hidDfuResetDevice();
    hidDfuDisconnect();
    printText(out, "Resetting device...");
    return true;
}

bool mv_CommandUpdate(const char* identifier, const char* source)
{
    // Ctrl-C and the like stop the upgrade at the next poll, which then
    // writes the final line; the catcher outlives the timer.
    const InterruptCatcher catcher;
    const std::unique_ptr<ProgressTimer> timer = makeProgressTimer();
    return mv_CommandUpdate(identifier, source, transferState, *timer, stdout, stderr);
}

bool mv_CommandUpdate(const char* identifier, const char* source, JSONTransfer& document,
                      ProgressTimer& timer, FILE* out, FILE* err)
{
    int32_t vid = 0;
    int32_t pid = 0;
    int32_t dummy = 0;
    const bool identifierValid = readDeviceIdentifier(identifier, vid, pid, dummy);
    document.setIdentifier(identifier);

    const char* failure = startUpgrade(source, vid, pid, identifierValid, err);
    if (failure != nullptr) {
        document.setState(JSONTransfer::kStateFail, failure);
        document.write(out);
        return false;
    }
    return followUpgrade(document, timer, out);
}

void checkProgress(void*, unsigned char)
{
    JSONTransfer* const document = g_running.document;
    if (document == nullptr)
        return;
    // Asked to stop: disconnecting stops the library's worker (which leaves
    // the device idle) and joins it, so the poll below sees the upgrade
    // ended, with the library's result for a stopped one.
    if (interruptRequested() && !g_running.stopped) {
        g_running.stopped = true;
        hidDfuDisconnect();
    }
    const uint8 progress = hidDfuGetProgress();
    document->setState(JSONTransfer::kStateDownload, nullptr);
    if (progress != 100) {
        document->setProgress(progress);
        document->write(g_running.out);
        return;
    }

    const int32 result = hidDfuGetResult();
    if (result != 0) {
        char errorText[80];
        std::snprintf(errorText, sizeof errorText, "Upgrade failed (%i)", static_cast<int>(result));
        document->setState(JSONTransfer::kStateFail, errorText);
    } else {
        document->setState(JSONTransfer::kStateSuccess, nullptr);
        document->setProgress(100);
    }
    g_running.timer->cancel();
    document->write(g_running.out);
    hidDfuDisconnect();
    _updating.store(0, std::memory_order_release);
}

} // namespace kr
