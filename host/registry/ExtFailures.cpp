#include "host/registry/ExtFailures.h"

#include <cstdarg>
#include <cstdio>

#include "eventlog/MuroxLogEvent.h"

namespace {

unsigned long s_failures = 0;

} // namespace

void ReportExtFailure(const char* szFormat, ...)
{
    // As long as an event may be: the event log cuts there anyway.
    char text[1024];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(text, sizeof text, szFormat, args);
    va_end(args);
    ++s_failures;
    MuroxLogEvent("%s", text);
}

unsigned long ExtFailureCount()
{
    return s_failures;
}
