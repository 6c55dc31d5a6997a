// The daemon's printf-style event call.
#ifndef EVENTLOG_MUROXLOGEVENT_H
#define EVENTLOG_MUROXLOGEVENT_H

#include "murox/MuroxExport.h"

// Formats `format` and its arguments as vsnprintf does and publishes the
// text as a MuroxMsg (id 101) through KAF::BMessageDispatcher::s_pInstance,
// creating the dispatcher first when the host has not; the library never
// destroys it. Subscribers are informed before the call returns, and the
// message is gone once it has.
//
// The text is formatted into a 1024-byte buffer on the caller's stack: a
// text longer than 1023 characters is cut to its first 1023, and a zero
// byte produced by the format (%c with 0) ends the text there. No newline
// is added.
//
// Per call the only heap allocation is the message's copy of the text
// (plus the dispatcher, once per process). Nothing is caught: an exception
// from the allocator, the dispatcher's constructor or a subscriber reaches
// the caller with the message released, and s_pInstance is then null or a
// fully constructed dispatcher. Creating the dispatcher is not thread-safe:
// a host that logs from several threads creates it before they start.
MUROX_API void MuroxLogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
