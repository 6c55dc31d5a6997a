// The registry's failures: each is reported through the event log and
// counted, so that the host can tell whether a line it ran made one (a
// library that did not load or initialise, a configuration that could not
// be read or written).
#ifndef HOST_REGISTRY_EXTFAILURES_H
#define HOST_REGISTRY_EXTFAILURES_H

// Publishes the text as MuroxLogEvent does, control characters shown as
// \xHH, at warning (host/registry/LogPriority.h), and counts it.
void ReportExtFailure(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));

// How many failures were reported since the process started.
unsigned long ExtFailureCount();

// Whether the event being published now is a failure ReportExtFailure
// reports: the subscribers that pass events on can tell a line's reasons
// for failing from its other events.
bool ExtFailureBeingReported();

#endif
