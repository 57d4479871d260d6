// The device commands and the one-line JSON documents they write on standard
// output. Each document owns its JSON tree; write() prints the whole current
// document as one line and flushes the stream.
#ifndef KR_MVCOMMAND_H
#define KR_MVCOMMAND_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

typedef struct json_t json_t;

namespace kr {

class ProgressTimer;

namespace detail {
// A container the document cannot exist without: returns `value`, or stops
// the program with a diagnostic naming `member` when it could not be made.
// Shared by the document sources.
json_t* requireJson(json_t* value, const char* member);

// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD,
// one for each maximal invalid subsequence (as the WHATWG decoder does);
// valid text comes back unchanged.
std::string validUtf8(const char* text);
} // namespace detail

class JSONRoot {
public:
    JSONRoot();
    virtual ~JSONRoot();
    JSONRoot(const JSONRoot&) = delete;
    JSONRoot& operator=(const JSONRoot&) = delete;

    json_t* root() const { return m_root; }
    void write(FILE* stream) const;

private:
    json_t* m_root;
};

// {"version": {"major", "minor", "qualifier", "hid_dfu_dll_version"}}
class JSONVersion : public JSONRoot {
public:
    JSONVersion();
};

// {"devices": [{"identifier", "idVendor", "idProduct"}, ...]}
class JSONDevices : public JSONRoot {
public:
    JSONDevices();
    void updateDeviceList(uint16_t count, uint16_t vid, uint16_t pid);

private:
    json_t* m_deviceArray;
};

// {key: [{"request", "response", "error"}, ...]}
class JSONControl : public JSONRoot {
public:
    explicit JSONControl(const char* key);
    void addEntry(const char* request, const char* response, const char* error);
    bool didFail() const { return m_didFail; }

private:
    json_t* m_jsonStatus;
    bool m_didFail;
};

// {key: {"identifier", "progress", "state", "error"}}
class JSONTransfer : public JSONRoot {
public:
    enum State : int32_t {
        kStateFail = -1,
        kStateSuccess = 0,
        kStateInitialise = 1,
        kStateUpload = 2,
        kStateDownload = 3,
        kStateVerify = 4,
    };

    JSONTransfer(const char* identifier, const char* key);
    void setIdentifier(const char* identifier);
    void setProgress(double progress);
    void setState(State state, const char* errorText);
    bool didFail() const { return m_didFail; }

private:
    json_t* m_jsonStatus;
    bool m_didFail;
};

// The update command's document, alive for the whole process.
extern JSONTransfer transferState;

// Reads a device identifier "vvvv-pppp-nnnn" exactly as the C library's
// sscanf reads it with "%x-%x-%x", without sscanf's undefined behaviour for
// numbers that do not fit. The three fields are set to 0 first; reading stops
// at the first text that does not fit the pattern and later fields keep 0.
// Each field takes leading white space, an optional sign, an optional 0x or
// 0X, and hexadecimal digits; a field is stored as its low 32 bits (a minus
// sign negates modulo 2^32, a number beyond 64 bits counts as all ones).
// The hyphens must follow the numbers directly. True when the vendor and
// product ids are both non-zero, which makes the identifier valid; the index
// field is read and means nothing.
bool readDeviceIdentifier(const char* identifier, int32_t& vid, int32_t& pid, int32_t& dummy);

namespace detail {
// The opening of the commands that take an identifier: reads it as
// readDeviceIdentifier does and, when it is invalid, prints "Invalid vid or
// pid %#x %#x" on `out` (no line end, flushed) and returns false.
bool readIdentifierOrSayInvalid(const char* identifier, FILE* out, int32_t& vid, int32_t& pid);
} // namespace detail

// ---- Commands through the upgrade library (kr_librarycommands.cpp) ----------
// They print on `out`, standard output in the shipped program.

// Writes the version document (the tool's version and the library's) as one
// line. Always true.
bool mv_CommandVersion(FILE* out = stdout);

// Connects to count the devices with these ids, disconnects at once, and
// writes the device list (one entry per device counted; a device another run
// holds counts). A device with these ids that this user may not open adds a
// line on `err`. Always true.
bool mv_CommandDevices(uint16_t idVendor, uint16_t idProduct, FILE* out = stdout, FILE* err = stderr);

// Resets the device the identifier names. Prints plain texts without line
// ends: "Invalid vid or pid ..." and false for an invalid identifier (the
// library is not called); "Unable to connect to device" and false when no
// device could be connected (none attached, a vendor or product field above
// ffff, or every one held by another run), with a line on `err` when the
// device is there but held or closed to this user; otherwise "Resetting
// device..." after the reset and the disconnect, and true.
bool mv_CommandReset(const char* identifier, FILE* out = stdout, FILE* err = stderr);

// Checks the DFU file `source` against the identifier, connects, has the
// library start the upgrade from `source`, and follows it with a progress
// poll every second (checkProgress) until the library reports 100. True
// exactly when the upgrade succeeded.
//
// Before the upgrade starts, a failure writes the document once with state
// kStateFail and its reason; a device held by another run or closed to this
// user, and the library's reason for refusing the upgrade, add one line on
// `err`. Once it runs, every line comes from the poll.
// When the timer cannot be created the upgrade is stopped with
// hidDfuDisconnect and the document is written once with kStateFail and
// "Unable to start progress timer".
//
// The first form uses the process-wide transferState, standard output and
// the platform timer with the 1000 ms period.
bool mv_CommandUpdate(const char* identifier, const char* source);
bool mv_CommandUpdate(const char* identifier, const char* source, JSONTransfer& document,
                      ProgressTimer& timer, FILE* out, FILE* err = stderr);

// The progress poll, run by the timer on its thread while mv_CommandUpdate
// waits: asks the library for the progress and writes one document line; at
// 100 it records the result, ends the timer, writes the final line,
// disconnects and, as its very last act, clears _updating. The parameters
// (timer-callback form) are ignored.
void checkProgress(void* parameter, unsigned char timerFired);

// 1 while a started upgrade is being polled. Cleared by the final poll with
// release ordering; whoever reads it with acquire ordering and sees 0 also
// sees the final line written and the library disconnected.
extern std::atomic<int32_t> _updating;

// ---- Commands straight over the raw HID transport (kr_mvcommand.cpp) --------
// They do not use the upgrade library.

// The set (expectReply false) and get (expectReply true) actions: sends
// `request` as one output report to the first HID interface that matches
// the identifier's vendor and product id and, for get, takes one input
// report as the reply. Writes one "control" document line to `out` (or, for
// an invalid identifier, only the text "Invalid vid or pid ..." without a
// line end) and returns true exactly when the device could be opened. The
// device is held for this run alone while it is open; one held by another
// run, or closed to this user, adds a line on `err`.
//
// `request` may be null (no name on the command line): the document records
// it as null, and an opened device is sent an empty request (report id 1 and
// zeros), so get still reads whatever the device answers to that.
//
// A reply is the input report's data up to its first zero byte, in full:
// the reply buffer holds at least 100 bytes, and more when the device's input
// reports are longer, so it always ends in a zero byte and is never written
// past.
bool mv_CommandControl(const char* identifier, const char* request, bool expectReply,
                       FILE* out = stdout, FILE* err = stderr);

} // namespace kr

#endif
