// The priority of each record the daemon writes, numbered as the system
// log numbers its levels (syslog(3)). The library's event sink writes text
// alone: the host says the priority of the records it publishes itself,
// around its own MuroxLogEvent calls, and the capture of the sink's output
// (host/outputs/BStdoutCapture.h) attaches it to the record. Kept in the
// registry's shared library so that the registry's failures and the
// program's own records set one and the same.
#ifndef HOST_REGISTRY_LOGPRIORITY_H
#define HOST_REGISTRY_LOGPRIORITY_H

enum class TLogPriority { kErr = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

// The priority of what is published now: that of the innermost
// TLogPriorityScope alive, else kInfo, the priority of an extension's
// events.
TLogPriority CurrentLogPriority();

// Records published while one lives are at its priority; the one it
// replaced is back when it ends.
class TLogPriorityScope {
public:
    explicit TLogPriorityScope(TLogPriority priority);
    ~TLogPriorityScope();
    TLogPriorityScope(const TLogPriorityScope&) = delete;
    TLogPriorityScope& operator=(const TLogPriorityScope&) = delete;

private:
    TLogPriority m_outer;
};

// MuroxLogEvent at `priority`.
void LogEventAt(TLogPriority priority, const char* szFormat, ...)
    __attribute__((format(printf, 2, 3)));

#endif
