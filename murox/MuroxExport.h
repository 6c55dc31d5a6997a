// The one macro that exports a symbol of libMUROX.
//
// The library is built with hidden visibility; only what carries this
// macro is visible to the daemon, and the list of those symbols is kept
// under test. It sits in murox/, the folder of what belongs to the whole
// library, so that xdll/, eventlog/ and vdirs/ each depend on it and on
// hostapi/ only, never on one another.
#ifndef MUROX_MUROXEXPORT_H
#define MUROX_MUROXEXPORT_H

#define MUROX_API __attribute__((visibility("default")))

#endif
