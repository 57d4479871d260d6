// Link-time double of the upgrade library's version call, for tests of the
// version document. Tests choose what it reports.
#ifndef HIDDFU_VERSION_DOUBLE_H
#define HIDDFU_VERSION_DOUBLE_H

#include <cstdint>

namespace versiondouble {

struct Reported {
    bool setsValues = true;  // false: leaves all four outputs untouched
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t release = 0;
    uint16_t build = 0;
};

void report(const Reported& values);
int callCount();

} // namespace versiondouble

#endif
