// The JSON documents the device commands write, built with Jansson.
//
// A document's own containers must exist for the document to exist at all:
// when one cannot be allocated the program stops with a diagnostic. Any later
// value that cannot be made (no memory, a text that is not UTF-8, a progress
// that is not finite) is simply left out; Jansson's *_set_new and
// *_append_new calls take a null value, release nothing and leave the
// container as it was, which is exactly that behaviour.
#include "kr_mvcommand.h"

#include "HidDfu.h"

#include <jansson.h>

#include <cstdio>
#include <cstdlib>

namespace kr {

namespace {

json_t* requireJson(json_t* value, const char* member)
{
    if (value == nullptr) {
        std::fprintf(stderr, "hiddfu: out of memory creating the JSON document's %s\n", member);
        std::exit(-1);
    }
    return value;
}

// A JSON string, or JSON null for an absent text; null (not set) when the
// text is not valid UTF-8 or memory runs out.
json_t* stringOrNull(const char* text)
{
    return text != nullptr ? json_string(text) : json_null();
}

} // namespace

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

JSONVersion::JSONVersion()
{
    json_t* version = requireJson(json_object(), "version");

    uint16 major = 0;
    uint16 minor = 0;
    uint16 release = 0;
    uint16 build = 0;
    hidDfuGetVersion(&major, &minor, &release, &build);

    char hidDfuDllVersionString[50];
    std::snprintf(hidDfuDllVersionString, sizeof hidDfuDllVersionString, "%u.%u.%u (%u)",
                  static_cast<unsigned>(major), static_cast<unsigned>(minor),
                  static_cast<unsigned>(release), static_cast<unsigned>(build));

    json_object_set_new(version, "major", json_integer(1));
    json_object_set_new(version, "minor", json_integer(0));
    json_object_set_new(version, "qualifier", json_string("win32beta1"));
    json_object_set_new(version, "hid_dfu_dll_version", json_string(hidDfuDllVersionString));
    json_object_set_new(root(), "version", version);
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
    json_object_set_new(m_jsonStatus, "identifier", json_string(identifier));
}

void JSONTransfer::setProgress(double progress)
{
    json_object_set_new(m_jsonStatus, "progress", json_real(progress));
}

void JSONTransfer::setState(State state, const char* errorText)
{
    json_object_set_new(m_jsonStatus, "state", json_integer(state));
    if (state == kStateFail) {
        json_object_set_new(m_jsonStatus, "error",
                            json_string(errorText != nullptr ? errorText : "Unknown error"));
        m_didFail = true;
    } else {
        json_object_set_new(m_jsonStatus, "error", json_null());
    }
}

} // namespace kr
