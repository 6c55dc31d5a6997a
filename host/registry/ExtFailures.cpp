#include "host/registry/ExtFailures.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "eventlog/MuroxLogEvent.h"
#include "host/protocol/VisibleText.h"
#include "host/registry/LogPriority.h"

namespace {

unsigned long s_failures = 0;
bool s_reporting = false;

// Set while a failure is published, even when a subscriber throws.
class BReporting {
public:
    BReporting() { s_reporting = true; }
    ~BReporting() { s_reporting = false; }
    BReporting(const BReporting&) = delete;
    BReporting& operator=(const BReporting&) = delete;
};

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
    // Names and paths come from the operator's peers: a control character
    // in them must not reach a terminal or the log as one. A library that
    // failed, a configuration not applied: what the log's reader must see.
    const TLogPriorityScope priority(TLogPriority::kWarning);
    const BReporting reporting;
    MuroxLogEvent("%s", control::VisibleText(text, std::strlen(text)).c_str());
}

unsigned long ExtFailureCount()
{
    return s_failures;
}

bool ExtFailureBeingReported()
{
    return s_reporting;
}
