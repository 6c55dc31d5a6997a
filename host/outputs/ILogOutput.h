// Where the daemon's event records go, drained by the control server's
// loop so that a stalled reader never holds it.
#ifndef HOST_OUTPUTS_ILOGOUTPUT_H
#define HOST_OUTPUTS_ILOGOUTPUT_H

#include <cstddef>

#include "host/registry/LogPriority.h"

class ILogOutput {
public:
    virtual ~ILogOutput() = default;

    // Takes one record as the event sink wrote it, its newline included,
    // at `priority`, without blocking: queued, or counted as dropped.
    virtual void Take(const char* pData, std::size_t size, TLogPriority priority) = 0;
    // The descriptor the loop polls for writing while Pending(); -1 for none.
    virtual int Fd() const = 0;
    // Whether anything waits for Fd(): records, or the count of those dropped.
    virtual bool Pending() const = 0;
    // Writes what Fd() takes now, without blocking.
    virtual void Drain() = 0;
    // Drains for at most `waitMs`; what is left then is lost.
    void Finish(int waitMs);
    // Records lost since the start: not taken, or taken and never written.
    virtual unsigned long DroppedRecords() const { return 0; }
};

#endif
