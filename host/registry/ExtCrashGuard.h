// The crash guard: a library whose loading ended murox (a crash, an exit,
// a signal, a hang that the watchdog or an operator ended) is not loaded
// again by every start after it, which would make a crash loop of them.
//
// Before the step that runs a library's code (dlopen and MuroxExtInit), a
// marker naming the configuration and the library (its name, path and web
// part) is written and synced in murox's state directory; it is removed
// once the step returns. A murox that finds the marker of its
// configuration there knows that the process before it died in that step:
// the marker becomes a lasting entry, and the library is set aside. The
// configuration no longer loads it (at start, "xdll -r", SIGHUP, an
// "xdll -a" repeated as it was made); loading it by hand ("xdll -l" or
// "xdll -f") lifts the entry and tries once more, under a marker again.
// A section that now gives another path or web part configures another
// library, which the entry does not hold back: the entry is forgotten;
// "xdll -d" forgets it too.
//
// Files are keyed by the configuration's path: an entry lasts across
// restarts and reboots, which can renumber the devices that the lock's
// key (host/kaf/ConfigLock.h) holds; and only the holder of the
// configuration's lock, one process, works on its files. What the state
// directory holds is trusted only as a regular file of this process's
// effective user, of a bounded size, in the form written here; the
// directory is never listed: a file is looked up by the name it would
// have, one marker at start and one entry for each library the
// configuration loads.
#ifndef HOST_REGISTRY_EXTCRASHGUARD_H
#define HOST_REGISTRY_EXTCRASHGUARD_H

#include <set>
#include <string>

#include "host/protocol/BFd.h"
#include "hostapi/DLLExtAgents.h"

class BExtCrashGuard {
public:
    // Guards the libraries of the configuration at `configuration` with
    // files in the state directory open in `stateDir`, which must be the
    // effective user's or root's and writable by no one else; a marker of
    // that configuration found there becomes an entry.
    BExtCrashGuard(BFd stateDir, std::string configuration);
    BExtCrashGuard(const BExtCrashGuard&) = delete;
    BExtCrashGuard& operator=(const BExtCrashGuard&) = delete;

    // Whether the library `agent` describes is set aside; `why` then says
    // so for the log, and how to load it.
    bool SetAside(const ExtAgent& agent, std::string& why);
    // Forgets the entry of the library `name`, if there is one.
    void Lift(const std::string& name);
    // Writes and syncs (the file and the directory) the marker naming
    // `agent`. False, with the reason in `why`, when it cannot.
    bool Mark(const ExtAgent& agent, std::string& why);
    // Removes the marker.
    void Unmark();
    // Whether the last SetAside for `name` said so, with no Lift since.
    bool IsSetAside(const std::string& name) const { return m_setAside.count(name) != 0; }

private:
    std::string EntryName(const std::string& name) const;
    void TakeLeftMarker();

    BFd m_dir;
    std::string m_configuration;
    std::string m_marker; // the marker's file name
    std::set<std::string> m_setAside;
};

// The guard the registry's loads go through: that of the innermost
// TExtCrashGuardUse alive, else none.
BExtCrashGuard* CurrentExtCrashGuard();

// While one lives, the registry's loads go through the guard `pGuard`, or
// through none when it is null.
class TExtCrashGuardUse {
public:
    explicit TExtCrashGuardUse(BExtCrashGuard* pGuard);
    ~TExtCrashGuardUse();
    TExtCrashGuardUse(const TExtCrashGuardUse&) = delete;
    TExtCrashGuardUse& operator=(const TExtCrashGuardUse&) = delete;

private:
    BExtCrashGuard* m_pOuter;
};

#endif
