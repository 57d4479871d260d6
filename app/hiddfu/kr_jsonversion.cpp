// The version document, in a source file of its own: it is the only JSON
// document that asks the upgrade library anything, so a program that links
// the other documents and commands without the version command does not need
// the library's version call.
#include "kr_mvcommand.h"

#include "HidDfu.h"

#include <jansson.h>

#include <cstdio>

namespace kr {

using detail::requireJson;

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

} // namespace kr
