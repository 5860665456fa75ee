// Memory of the test process itself, read from /proc/self/status.
#pragma once

#include <QTest>

namespace bvtest {

// A field of /proc/self/status in MiB: "VmRSS:" (now) or "VmHWM:" (peak).
double memoryMiB(const char *field);
// Restarts the peak ("VmHWM:") from the resident set now, which it returns: no earlier peak hides growth.
double resetPeakMemory();

// Checks that `growthMiB` stays below `limitMiB`; not under a sanitizer, whose figures are many times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BV_VERIFY_MEMORY_GROWTH(growthMiB, limitMiB) static_cast<void>(growthMiB)
#else
#define BV_VERIFY_MEMORY_GROWTH(growthMiB, limitMiB)                                                 \
    do {                                                                                             \
        const double bvGrowth = (growthMiB);                                                         \
        QVERIFY2(bvGrowth < (limitMiB), qPrintable(QStringLiteral("grew by %1 MiB").arg(bvGrowth))); \
    } while (false)
#endif

} // namespace bvtest
