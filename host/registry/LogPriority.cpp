#include "host/registry/LogPriority.h"

#include <cstdarg>
#include <cstdio>

#include "eventlog/MuroxLogEvent.h"

namespace {

TLogPriority s_current = TLogPriority::kInfo;

} // namespace

TLogPriority CurrentLogPriority()
{
    return s_current;
}

TLogPriorityScope::TLogPriorityScope(TLogPriority priority) : m_outer(s_current)
{
    s_current = priority;
}

TLogPriorityScope::~TLogPriorityScope()
{
    s_current = m_outer;
}

void LogEventAt(TLogPriority priority, const char* szFormat, ...)
{
    // As long as an event may be: the event log cuts there anyway.
    char text[1024];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(text, sizeof text, szFormat, args);
    va_end(args);
    const TLogPriorityScope scope(priority);
    MuroxLogEvent("%s", text);
}
