// The JSON documents the device commands write, built with Jansson.
//
// A document's own containers must exist for the document to exist at all:
// when one cannot be allocated the program stops with a diagnostic. Texts
// from outside (a device's reply, a request name, an identifier) need not be
// UTF-8, which a JSON string must be: their invalid bytes are replaced, so
// that every member a reader expects is there. A value that still cannot be
// made (no memory, a progress that is not finite) is left out; Jansson's
// *_set_new and *_append_new calls take a null value, release nothing and
// leave the container as it was, which is exactly that behaviour.
#include "kr_mvcommand.h"

#include "kr_devicediagnosis.h"
#include "vun_hid.h"

#include <jansson.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kr {

json_t* detail::requireJson(json_t* value, const char* member)
{
    if (value == nullptr) {
        std::fprintf(stderr, "hiddfu: out of memory creating the JSON document's %s\n", member);
        std::exit(-1);
    }
    return value;
}

namespace {

using detail::requireJson;

const char kReplacementCharacter[] = "\xEF\xBF\xBD";

// The length of the valid UTF-8 sequence at `text` (1 to 4), or 0 when the
// bytes there are not one; `invalidLength` is then the length of the maximal
// invalid subsequence to replace (at least 1). Lead bytes C0, C1 and F5..FF
// never begin a sequence; after E0, ED, F0 and F4 the second byte's range is
// narrowed so that overlong forms, surrogates and values above U+10FFFF are
// refused at the first byte that makes them so.
size_t validSequenceLength(const unsigned char* text, size_t& invalidLength)
{
    const unsigned char lead = text[0];
    invalidLength = 1;
    if (lead < 0x80)
        return 1;
    size_t needed = 0;
    unsigned char lower = 0x80;
    unsigned char upper = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        lower = lead == 0xE0 ? 0xA0 : lower;
        upper = lead == 0xED ? 0x9F : upper;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        lower = lead == 0xF0 ? 0x90 : lower;
        upper = lead == 0xF4 ? 0x8F : upper;
    } else {
        return 0;
    }
    for (size_t seen = 1; seen <= needed; ++seen) {
        // The terminating zero is below every range and ends the sequence.
        if (text[seen] < lower || text[seen] > upper) {
            invalidLength = seen;
            return 0;
        }
        lower = 0x80;
        upper = 0xBF;
    }
    return needed + 1;
}

json_t* jsonText(const char* text)
{
    return json_string(detail::validUtf8(text).c_str());
}

// A JSON string, or JSON null for an absent text; null (not set) only when
// memory runs out.
json_t* stringOrNull(const char* text)
{
    return text != nullptr ? jsonText(text) : json_null();
}

} // namespace

std::string detail::validUtf8(const char* text)
{
    std::string valid;
    if (text == nullptr)
        return valid;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    while (*bytes != 0) {
        size_t invalidLength = 0;
        const size_t length = validSequenceLength(bytes, invalidLength);
        if (length > 0) {
            valid.append(reinterpret_cast<const char*>(bytes), length);
            bytes += length;
        } else {
            valid += kReplacementCharacter;
            bytes += invalidLength;
        }
    }
    return valid;
}

JSONTransfer transferState("", "transfer");

JSONRoot::JSONRoot() : m_root(requireJson(json_object(), "m_root")) {}

JSONRoot::~JSONRoot()
{
    json_decref(m_root);
    m_root = nullptr;
}

void JSONRoot::write(FILE* stream) const
{
    json_dumpf(m_root, stream, 0);
    std::fputs("\n", stream);
    std::fflush(stream);
}

JSONDevices::JSONDevices() : m_deviceArray(requireJson(json_array(), "m_deviceArray"))
{
    json_object_set_new(root(), "devices", m_deviceArray);
}

void JSONDevices::updateDeviceList(uint16_t count, uint16_t vid, uint16_t pid)
{
    for (uint16_t i = 0; i < count; ++i) {
        char identifier[100];
        std::snprintf(identifier, sizeof identifier, "%04x-%04x-0000", static_cast<unsigned>(vid),
                      static_cast<unsigned>(pid));
        json_t* entry = json_object();
        json_object_set_new(entry, "identifier", json_string(identifier));
        json_object_set_new(entry, "idVendor", json_integer(vid));
        json_object_set_new(entry, "idProduct", json_integer(pid));
        json_array_append_new(m_deviceArray, entry);
    }
}

JSONControl::JSONControl(const char* key)
    : m_jsonStatus(requireJson(json_array(), "m_jsonStatus")), m_didFail(false)
{
    json_object_set_new(root(), key, m_jsonStatus);
}

void JSONControl::addEntry(const char* request, const char* response, const char* error)
{
    json_t* entry = json_object();
    json_object_set_new(entry, "request", stringOrNull(request));
    json_object_set_new(entry, "response", stringOrNull(response));
    json_object_set_new(entry, "error", stringOrNull(error));
    json_array_append_new(m_jsonStatus, entry);
    if (error != nullptr)
        m_didFail = true;
}

JSONTransfer::JSONTransfer(const char* identifier, const char* key)
    : m_jsonStatus(requireJson(json_object(), "m_jsonStatus")), m_didFail(false)
{
    json_object_set_new(root(), key, m_jsonStatus);
    setIdentifier(identifier);
    setProgress(0);
    setState(kStateInitialise, nullptr);
    json_object_set_new(m_jsonStatus, "error", json_null());
}

void JSONTransfer::setIdentifier(const char* identifier)
{
    if (identifier != nullptr)
        json_object_set_new(m_jsonStatus, "identifier", jsonText(identifier));
}

void JSONTransfer::setProgress(double progress)
{
    json_object_set_new(m_jsonStatus, "progress", json_real(progress));
}

void JSONTransfer::setState(State state, const char* errorText)
{
    json_object_set_new(m_jsonStatus, "state", json_integer(state));
    if (state == kStateFail) {
        json_object_set_new(m_jsonStatus, "error", jsonText(errorText != nullptr ? errorText : "Unknown error"));
        m_didFail = true;
    } else {
        json_object_set_new(m_jsonStatus, "error", json_null());
    }
}

// ---- The device identifier -------------------------------------------------

namespace {

// Reads one "%x" field at `text` as the C library does: white space, an
// optional sign, "0" optionally followed by x or X (taken even when no digit
// follows, as sscanf takes it), then hexadecimal digits. Returns the position
// after the field, or null when no digit was read (a matching failure).
const char* readHexField(const char* text, int32_t& field)
{
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    bool sawDigit = false;
    if (*p == '0') {
        sawDigit = true;
        ++p;
        if (*p == 'x' || *p == 'X')
            ++p;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
        sawDigit = true;
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        const unsigned digit = c <= '9' ? static_cast<unsigned>(c - '0')
                                        : static_cast<unsigned>(c - 'a' + 10);
        if (value > (UINT64_MAX >> 4))
            overflow = true;
        value = (value << 4) | digit;
    }
    if (!sawDigit)
        return nullptr;
    // As strtoul: a value too large saturates whatever the sign, otherwise
    // a minus sign negates in unsigned arithmetic.
    if (overflow)
        value = UINT64_MAX;
    else if (negative)
        value = 0 - value;
    field = static_cast<int32_t>(static_cast<uint32_t>(value));
    return p;
}

} // namespace

bool readDeviceIdentifier(const char* identifier, int32_t& vid, int32_t& pid, int32_t& dummy)
{
    vid = 0;
    pid = 0;
    dummy = 0;
    int32_t* const fields[] = {&vid, &pid, &dummy};
    const char* p = identifier;
    for (size_t i = 0; i < 3; ++i) {
        if (i > 0) {
            if (*p != '-')
                break;
            ++p;
        }
        p = readHexField(p, *fields[i]);
        if (p == nullptr)
            break;
    }
    return vid != 0 && pid != 0;
}

bool detail::readIdentifierOrSayInvalid(const char* identifier, FILE* out, int32_t& vid, int32_t& pid)
{
    int32_t index = 0;
    if (readDeviceIdentifier(identifier, vid, pid, index))
        return true;
    std::fprintf(out, "Invalid vid or pid %#x %#x", static_cast<unsigned>(vid),
                 static_cast<unsigned>(pid));
    std::fflush(out);
    return false;
}

// ---- set and get ---------------------------------------------------------------

namespace {

// The smallest reply buffer: every reply of up to 99 bytes fits with its
// terminating zero; longer input reports get a buffer of their own length.
const size_t kResponseBufferSize = 100;

// A zeroed reply buffer that the receive cannot overrun and that always
// ends in a zero byte: it copies at most the input report length - 1 bytes,
// and the buffer holds at least the input report length. When the lengths
// cannot be read the receive fails without touching the buffer.
std::vector<uint8_t> responseBuffer(HidHandle deviceHandle)
{
    uint32_t inputLen = 0;
    uint32_t outputLen = 0;
    hid_get_report_length(deviceHandle, inputLen, outputLen);
    return std::vector<uint8_t>(std::max<size_t>(kResponseBufferSize, inputLen), 0);
}

// Sends the request (its bytes without the terminating zero; no bytes for an
// absent request, so the report is the id and zeros) and, when a reply is
// expected, reads one input report into `response`, which stays empty when
// nothing was read. A device that does not answer still counts as reached,
// but a request that could not be sent (too long for the output report, or
// the write failed) is a failure: the device never got it. Returns whether
// the request was sent.
bool exchangeRequest(HidHandle deviceHandle, const char* request, bool expectReply,
                     std::string& response)
{
    const char* name = request != nullptr ? request : "";
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(std::strlen(name), UINT32_MAX));
    if (!hid_send(deviceHandle, reinterpret_cast<const uint8_t*>(name), length))
        return false;

    std::vector<uint8_t> buffer = responseBuffer(deviceHandle);
    if (expectReply) {
        uint32_t responseLength = 0;
        hid_receive(deviceHandle, buffer.data(), responseLength);
    }
    response = reinterpret_cast<const char*>(buffer.data());
    return true;
}

// The line on `err` for a matching interface that hid_open was refused.
void explainRefusal(FILE* err, uint32_t vid, uint32_t pid, const HidOpenRefusal& refusal)
{
    if (refusal.reason == hidplatform::OpenFailure::kInUse)
        printDeviceInUse(err, vid, pid, refusal.path);
    else if (refusal.reason == hidplatform::OpenFailure::kAccessDenied)
        explainDeniedDevice(err, vid, pid);
}

} // namespace

bool mv_CommandControl(const char* identifier, const char* request, bool expectReply, FILE* out,
                       FILE* err)
{
    int32_t vid = 0;
    int32_t pid = 0;
    if (!detail::readIdentifierOrSayInvalid(identifier, out, vid, pid))
        return false;

    JSONControl jsonControl("control");
    {
        // All 32 bits: an id above 0xffff is valid here but matches no device.
        HidOpenRefusal refusal;
        // Closed when the command is done with it.
        const hidplatform::Device device(
            hid_open(static_cast<uint32_t>(vid), static_cast<uint32_t>(pid), &refusal));
        if (!device.valid()) {
            explainRefusal(err, static_cast<uint32_t>(vid), static_cast<uint32_t>(pid), refusal);
            jsonControl.addEntry(request, nullptr, "Unable to connect to device");
        } else {
            std::string response;
            if (exchangeRequest(device.get(), request, expectReply, response))
                jsonControl.addEntry(request, response.c_str(), nullptr);
            else
                jsonControl.addEntry(request, nullptr, "Unable to send request");
        }
    }
    jsonControl.write(out);
    return !jsonControl.didFail();
}

} // namespace kr
