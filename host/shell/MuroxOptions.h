// The command line of the murox shell.
#ifndef HOST_SHELL_MUROXOPTIONS_H
#define HOST_SHELL_MUROXOPTIONS_H

#include <string>
#include <vector>

struct TMuroxOptions {
    std::string configPath;         // the default configuration unless --config
    bool toSyslog = false;          // --syslog
    bool help = false;              // --help
    std::vector<std::string> lines; // each -e, in order
};

// The usage text, ending in a newline.
std::string MuroxUsage(const std::string& defaultConfig);

// Reads argv[1..argc-1]. False, with the reason in `error`, for an unknown
// option, an option without its value, or a stray argument.
bool ParseMuroxOptions(int argc, const char* const* argv, const std::string& defaultConfig,
                       TMuroxOptions& options, std::string& error);

#endif
