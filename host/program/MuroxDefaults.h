// What murox takes where its options say nothing: the configuration
// installed with it, the control socket, the socket's group.
#ifndef HOST_PROGRAM_MUROXDEFAULTS_H
#define HOST_PROGRAM_MUROXDEFAULTS_H

#include <string>

#include <sys/types.h>

#include "host/kaf/ConfigLock.h"
#include "host/program/MuroxOptions.h"

// An installed murox takes the configuration installed with it: where the
// configured prefix puts it, seen from the program's own folder, or where
// the prefix the program was installed to puts it (a package is installed
// under another prefix than the tree was configured for). One run from the
// build tree takes the build tree's.
std::string DefaultConfigPath();

// The configuration installed with a murox whose program is in `folder`
// (its path up to the last '/'), where the prefix it stands in puts it by
// the rule the build installs it with (GNUInstallDirs'):
// /etc/murox/murox.conf for /bin/ and /usr/bin/, /etc/opt/NAME/murox/...
// for /opt/NAME/bin/, PREFIX/etc/murox/... for any other PREFIX/bin/.
// Empty for a folder that is no bin/.
std::string PrefixConfigPath(const std::string& folder);

// The group named by --socket-group (a name or a number), else the
// daemon's own. False for a group the system does not know.
bool SocketGroup(const TMuroxOptions& options, gid_t& group);

// The control socket a daemon claims: --socket, else the default. Empty,
// with the reason on standard error, when there is none to use.
std::string SocketPath(const TMuroxOptions& options);

// Where murox keeps what outlives it (the libraries set aside by the crash
// guard, host/registry/ExtCrashGuard.h): $STATE_DIRECTORY, the first of
// its list, as systemd sets it for a unit's StateDirectory=; else
// /var/lib/murox for root, and for another user $XDG_STATE_HOME/murox,
// else $HOME/.local/state/murox (a value that is not an absolute path is
// ignored, as XDG's base directories say). Empty, with `error` saying why,
// for a user without a home to keep it in.
std::string StateDirectory(std::string& error);

// Where the lock that keeps one murox per configuration is kept: the
// runtime directory (/run/murox for root, $XDG_RUNTIME_DIR/murox), else,
// for a user without one, "locks" in the state directory, where no one
// else can make it first. Empty, with `error` saying why, when there is
// neither.
std::string LockDirectory(std::string& error);

// The locks' directory, the group it gets when murox makes it (the
// socket's, when the daemon's socket is to be in it, so that its group's
// members reach the socket through it; else the effective group), and
// whether a configuration of more than one name is refused (root's
// daemon). False, with `error` saying why, when there is no directory to
// keep them in.
bool LockPlace(const TMuroxOptions& options, gid_t socketGroup, KAF::TLockPlace& place,
               std::string& error);

// The socket a console connects to: --socket, $MUROX_SOCKET, the user's
// own default where a socket is, else the system daemon's.
std::string ConsoleSocketPath(const TMuroxOptions& options);

#endif
