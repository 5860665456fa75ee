// Memory of the test process itself, read from /proc/self/status.
#pragma once

namespace bvtest {

// A field of /proc/self/status in MiB: "VmRSS:" (now) or "VmHWM:" (peak).
double memoryMiB(const char *field);

} // namespace bvtest
