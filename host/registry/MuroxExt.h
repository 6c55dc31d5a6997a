// The entry points of a murox extension library.
//
// An extension library is a shared object that exports both functions with
// C linkage. The host opens it with dlopen (RTLD_NOW | RTLD_LOCAL), so every
// reference must resolve at once against the host process, libMUROX
// included (MuroxLogEvent is the way to report).
//
//   MuroxExtInit   called once right after the library is opened; nonzero
//                  means the library is ready. On zero the host closes the
//                  library again without calling MuroxExtTerm.
//   MuroxExtTerm   called once before the library is closed, after a
//                  successful MuroxExtInit.
//
// A library that lacks either function is closed again without any call.
//
// The library runs in the host's process, which survives some faults of
// its entry points and not others:
//   - an exception thrown out of MuroxExtInit is caught: the library fails
//     to initialise (closed again, the reason logged) and the host goes
//     on; one out of MuroxExtTerm is caught too, and the library closed;
//   - a child process that MuroxExtInit forks, and that returns from it
//     into the host, ends there with _exit(0), running nothing of the
//     host's; the parent goes on, and nothing waits for the child;
//   - exit(), a signal (abort(), a crash) or an init that never returns
//     end the process (a hang when the watchdog, or an operator, ends
//     it). The host marks each library in its state directory while it
//     loads it, so the start that follows finds the mark and sets the
//     library aside: it is not loaded again until an operator loads it
//     by hand (murox(1), "EXTENSION LIBRARIES THAT FAIL").
// While MuroxExtInit runs, the host serves no console; what the library
// logs meanwhile is written as it comes.
// Several names configured with paths to the same file share one image:
// each load calls MuroxExtInit again. The library is opened through its
// descriptor's entry in /proc/self/fd, so $ORIGIN and dladdr see that name,
// not the configured path.
#ifndef HOST_REGISTRY_MUROXEXT_H
#define HOST_REGISTRY_MUROXEXT_H

#define MUROX_EXT_API extern "C" __attribute__((visibility("default")))

MUROX_EXT_API int MuroxExtInit(void);
MUROX_EXT_API void MuroxExtTerm(void);

// The symbol names the host looks up.
#define MUROX_EXT_INIT_SYMBOL "MuroxExtInit"
#define MUROX_EXT_TERM_SYMBOL "MuroxExtTerm"

#endif
