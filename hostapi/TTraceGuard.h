// A guard the framework places around a whole function body.
#ifndef HOSTAPI_TTRACEGUARD_H
#define HOSTAPI_TTRACEGUARD_H

#include "hostapi/KafApi.h"

namespace KAF {

class KAF_API TTraceGuard {
public:
    TTraceGuard();
    ~TTraceGuard();
    TTraceGuard(const TTraceGuard&) = delete;
    TTraceGuard& operator=(const TTraceGuard&) = delete;

    // Guards alive right now, and guards ever constructed, on this thread.
    static int Depth();
    static unsigned Entries();
};

} // namespace KAF

#endif
