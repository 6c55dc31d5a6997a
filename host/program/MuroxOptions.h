// The command line of murox.
#ifndef HOST_PROGRAM_MUROXOPTIONS_H
#define HOST_PROGRAM_MUROXOPTIONS_H

#include <string>
#include <vector>

enum class TMuroxMode {
    kLocal,  // the shell on this terminal: -e lines, or standard input
    kDaemon, // --daemon: serve the control socket until told to stop
    kRemote, // --remote: a console to a running daemon
    kCheck   // --check: read the configuration and check it, loading nothing
};

struct TMuroxOptions {
    TMuroxMode mode = TMuroxMode::kLocal;
    std::string configPath;         // the default configuration unless --config
    std::string socketPath;         // --socket; empty: the default
    std::string socketGroup;        // --socket-group; empty: the daemon's group
    bool toSyslog = false;          // --syslog
    bool help = false;              // --help
    bool version = false;           // --version
    bool follow = false;            // --follow: the console prints every event
    bool json = false;              // --json: each line's JSON object, not its text
    std::vector<std::string> lines; // each -e, in order
};

// The usage text, ending in a newline.
std::string MuroxUsage(const std::string& defaultConfig);

// Reads argv[1..argc-1]; an option's value follows it as the next word or
// after '=' ("--config=FILE"). False, with the reason in `error`, for an
// unknown option, an option without its value, a stray argument, or
// options that do not go together (--daemon with -e or --remote; --remote
// with --config, --syslog or --socket-group; --socket without either mode;
// --socket-group without --daemon; --check with a mode, -e or a socket;
// --follow without --remote, or with -e; --json with --daemon or --check).
bool ParseMuroxOptions(int argc, const char* const* argv, const std::string& defaultConfig,
                       TMuroxOptions& options, std::string& error);

#endif
