// The device commands and the one-line JSON documents they write on standard
// output. Each document owns its JSON tree; write() prints the whole current
// document as one line and flushes the stream.
#ifndef KR_MVCOMMAND_H
#define KR_MVCOMMAND_H

#include <cstdint>
#include <cstdio>

typedef struct json_t json_t;

namespace kr {

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

} // namespace kr

#endif
