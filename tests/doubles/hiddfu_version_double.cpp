#include "hiddfu_version_double.h"

#include "HidDfu.h"

namespace versiondouble {
namespace {
Reported g_reported;
int g_calls = 0;
} // namespace

void report(const Reported& values)
{
    g_reported = values;
}

int callCount()
{
    return g_calls;
}

} // namespace versiondouble

extern "C" int32 hidDfuGetVersion(uint16* major, uint16* minor, uint16* release, uint16* build)
{
    using versiondouble::g_reported;
    ++versiondouble::g_calls;
    if (g_reported.setsValues) {
        *major = g_reported.major;
        *minor = g_reported.minor;
        *release = g_reported.release;
        *build = g_reported.build;
    }
    return 0;
}
