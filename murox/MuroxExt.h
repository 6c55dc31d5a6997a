// The entry points of a murox extension library, and what the daemon
// promises and asks of it. murox-extension(7) says the same for authors
// and operators, with the build commands.
//
// An extension library is an ELF shared object, of the daemon's own
// architecture, that defines both functions below with C linkage. The
// daemon opens it with dlopen(RTLD_NOW | RTLD_LOCAL): every reference it
// makes is bound at once, against the libraries it needs (libMUROX, which
// it links for MuroxLogEvent, the C and C++ libraries) and the daemon's
// process; one that binds to nothing fails the load. Its own symbols stay
// its own. Built with hidden visibility (CMake's murox_add_extension from
// find_package(MUROX), or pkg-config's module murox-extension), it exports
// these two alone: MUROX_EXT_API marks them.
//
// Both run on the daemon's one thread, its loop, which serves nothing else
// meanwhile: no console, no signal, no reload, and no ping of systemd's
// watchdog. Neither may throw, call exit, wait for the daemon (a console,
// a reload), or change what the whole process shares: signal dispositions
// and mask, working directory, umask, environment, standard descriptors.
//
// Should one do it anyway, the daemon survives some faults and not others:
//   - an exception thrown out of MuroxExtInit is caught: the library fails
//     to initialise (unloaded again, the reason logged) and the daemon goes
//     on; one out of MuroxExtTerm is caught too, and the library unloaded;
//   - a child process that MuroxExtInit forks, and that returns from it
//     into the daemon, ends there with _exit(0), running nothing of the
//     daemon's; the parent goes on, and nothing waits for the child;
//   - exit(), a signal (abort(), a crash) or an init that never returns
//     end the process (a hang when the watchdog, or an operator, ends it).
//     The daemon marks each library in its state directory while it loads
//     it, so the start that follows finds the mark and sets the library
//     aside: it is not loaded again until an operator loads it by hand
//     (murox(1), "EXTENSION LIBRARIES THAT FAIL").
// While MuroxExtInit runs, the daemon serves no console; what the library
// logs meanwhile is written as it comes.
#ifndef MUROX_MUROXEXT_H
#define MUROX_MUROXEXT_H

#define MUROX_EXT_API extern "C" __attribute__((visibility("default")))

// Called once per load, right after the library is mapped; returns nonzero
// when the library is ready. On zero the daemon unloads it again without
// calling MuroxExtTerm (its status is "FAILED TO INITIALIZE/REGISTER"), so
// whatever init started it undoes before returning zero.
//
// It must return within a second or so: work that takes longer, or waits
// on anything outside the process, belongs to a thread of the library's
// own. Under systemd (WatchdogSec=30s in murox.service) a daemon whose init
// has not returned within 30 s is killed and restarted, and a library that
// crashed or hung the daemon while it loaded is set aside at the next start
// rather than loaded again.
MUROX_EXT_API int MuroxExtInit(void);

// Called once before the library is unloaded, after a MuroxExtInit that
// returned nonzero: by "xdll -u", "xdll -d", a reload that drops or changes
// its section, and the daemon's exit (last configured first). Then the
// daemon closes the library (dlclose), which unmaps its code: a thread
// still running in it, a handler or callback left registered, would run
// into unmapped memory. So term stops and joins every thread the library
// started, and releases all it holds, before it returns. It cannot fail.
MUROX_EXT_API void MuroxExtTerm(void);

// Reporting: MuroxLogEvent (eventlog/MuroxLogEvent.h), on the thread that
// runs the entry points only: the daemon's outputs are not shared between
// threads. The text, one line starting with the library's name, goes to
// the journal (at info), the system log or standard output, and to the
// consoles that follow the daemon's events.
//
// Unloading is term, then dlclose. Several configured names whose paths
// lead to one file share one image: each load calls init again and each
// unload term, the library's static data is common to them, and its code is
// unmapped when the last of them is unloaded.
//
// Where an extension belongs: a daemon running as root loads only from its
// extension directories, /usr/lib/<multiarch>/murox (the packages'),
// /usr/local/lib/murox (the local administrator's) and those that the
// configuration names with "[murox] extension_dirs = DIR[:DIR...]"; every
// directory from / down to the file, and the file, owned by root and
// writable by no one else. The daemon reads the file's dynamic section
// before it loads it: a library whose dynamic symbol table lacks either
// function is not loaded. A RUNPATH in the file may hold absolute
// directories and $ORIGIN only, each nobody but root can change, as must
// be a dependency found there. The library is opened by its path, walked
// and proven unchangeable, so $ORIGIN is its own directory.

// The symbol names the daemon looks up.
#define MUROX_EXT_INIT_SYMBOL "MuroxExtInit"
#define MUROX_EXT_TERM_SYMBOL "MuroxExtTerm"

#endif
