#include "host/shell/MuroxOptions.h"

std::string MuroxUsage(const std::string& defaultConfig)
{
    return "usage: murox [--config FILE] [--syslog] [-e LINE]...\n"
           "  --config FILE  the configuration file (default " +
           defaultConfig +
           ")\n"
           "  --syslog       write events to the system log, not to standard output\n"
           "  -e LINE        run the command LINE; repeatable; murox exits after the last\n"
           "  --help         print this text\n"
           "Without -e, murox reads commands from standard input until its end or \"quit\".\n"
           "\"help\" lists the commands.\n";
}

bool ParseMuroxOptions(int argc, const char* const* argv, const std::string& defaultConfig,
                       TMuroxOptions& options, std::string& error)
{
    TMuroxOptions parsed;
    parsed.configPath = defaultConfig;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            parsed.help = true;
        } else if (word == "--syslog") {
            parsed.toSyslog = true;
        } else if (word == "--config" || word == "-e") {
            if (i + 1 >= argc) {
                error = "option " + word + " needs a value";
                return false;
            }
            const std::string value = argv[++i];
            if (word == "-e")
                parsed.lines.push_back(value);
            else
                parsed.configPath = value;
        } else if (!word.empty() && word[0] == '-') {
            error = "unknown option '" + word + "'";
            return false;
        } else {
            error = "unexpected argument '" + word + "'";
            return false;
        }
    }
    options = parsed;
    return true;
}
