// The one macro that exports a symbol of libMUROX.
//
// The library is built with hidden visibility; only what carries this
// macro is visible to the daemon, and the list of those symbols is kept
// under test.
#ifndef XDLL_MUROXEXPORT_H
#define XDLL_MUROXEXPORT_H

#define MUROX_API __attribute__((visibility("default")))

#endif
