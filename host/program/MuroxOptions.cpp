#include "host/program/MuroxOptions.h"

std::string MuroxUsage(const std::string& defaultConfig)
{
    return "usage: murox [--config FILE] [--syslog] [--json] [-e LINE]...\n"
           "       murox --daemon [--config FILE] [--socket PATH] [--socket-group NAME] "
           "[--syslog]\n"
           "       murox --remote [--socket PATH] [--json] [-e LINE... | --follow]\n"
           "       murox --check [--config FILE]\n"
           "  --config FILE  the configuration file (default " +
           defaultConfig +
           ")\n"
           "  --syslog       write events to the system log, not to standard output\n"
           "  -e LINE        run the command LINE; repeatable; murox exits after the last\n"
           "  --daemon       serve consoles on the control socket until SIGTERM or SIGINT;\n"
           "                 SIGHUP re-reads the configuration (as \"xdll -r\")\n"
           "  --remote       a console to the daemon serving the control socket\n"
           "  --follow       with --remote: print every event as it comes, until interrupted\n"
           "  --json         one JSON object a line run (or event followed) on standard\n"
           "                 output, for programs; lines given or piped in, not typed\n"
           "  --check        check the configuration, loading nothing: exit 0 when clean,\n"
           "                 1 with one line per problem\n"
           "  --socket PATH  the control socket (default /run/murox/murox.ctl for root,\n"
           "                 $XDG_RUNTIME_DIR/murox/murox.ctl otherwise)\n"
           "  --socket-group NAME  the socket's group, whose members may use it (default\n"
           "                 the daemon's own group)\n"
           "  --help         print this text\n"
           "  --version, -V  print murox's version\n"
           "Without -e, murox reads commands from standard input until its end or \"quit\".\n"
           "\"help\" lists the commands.\n";
}

namespace {

// The options seen that decide the mode, or that only some modes take.
struct TSeen {
    bool daemon = false;
    bool remote = false;
    bool check = false;
    bool config = false;
    bool socket = false;
};

bool TakesValue(const std::string& word)
{
    return word == "--config" || word == "-e" || word == "--socket" || word == "--socket-group";
}

// False when `word` is no option without a value.
bool TakeSwitch(const std::string& word, TMuroxOptions& parsed, TSeen& seen)
{
    if (word == "--help" || word == "-h")
        parsed.help = true;
    else if (word == "--version" || word == "-V")
        parsed.version = true;
    else if (word == "--syslog")
        parsed.toSyslog = true;
    else if (word == "--daemon")
        seen.daemon = true;
    else if (word == "--remote")
        seen.remote = true;
    else if (word == "--check")
        seen.check = true;
    else if (word == "--follow")
        parsed.follow = true;
    else if (word == "--json")
        parsed.json = true;
    else
        return false;
    return true;
}

// Takes the value of an option that TakesValue; false, with `error`, for
// one it cannot have.
bool TakeValue(const std::string& word, const std::string& value, TMuroxOptions& parsed,
               TSeen& seen, std::string& error)
{
    if (word == "-e") {
        parsed.lines.push_back(value);
    } else if (word == "--socket-group") {
        parsed.socketGroup = value;
        if (value.empty()) {
            error = "--socket-group needs a group";
            return false;
        }
    } else if (word == "--socket") {
        seen.socket = true;
        parsed.socketPath = value;
    } else {
        seen.config = true;
        parsed.configPath = value;
    }
    return true;
}

// Why the options do not go together; empty when they do.
std::string Conflict(const TMuroxOptions& parsed, const TSeen& seen)
{
    if (seen.daemon && seen.remote)
        return "--daemon and --remote exclude each other";
    if (seen.check && (seen.daemon || seen.remote || seen.socket || !parsed.lines.empty()))
        return "--check takes only --config";
    if (parsed.follow && (!seen.remote || !parsed.lines.empty()))
        return "--follow needs --remote and takes no -e lines";
    if (parsed.json && (seen.daemon || seen.check))
        return "--json goes with the shell's or a console's lines, or --follow";
    if (seen.daemon && !parsed.lines.empty())
        return "--daemon takes no -e lines; send them with --remote";
    if (seen.remote && (seen.config || parsed.toSyslog))
        return "--remote takes neither --config nor --syslog: they are the daemon's";
    if (seen.socket && !seen.daemon && !seen.remote)
        return "--socket needs --daemon or --remote";
    if (!parsed.socketGroup.empty() && !seen.daemon)
        return "--socket-group needs --daemon";
    if (seen.socket && parsed.socketPath.empty())
        return "--socket needs a path";
    return std::string();
}

// Takes argv[i], and its value from argv[i + 1] when it has one there (i
// then moves past it). False, with `error`, for a word it cannot take.
bool TakeWord(int argc, const char* const* argv, int& i, TMuroxOptions& parsed, TSeen& seen,
              std::string& error)
{
    std::string word = argv[i];
    std::string attached;
    const std::string::size_type equals = word.find('=');
    const bool hasAttached = word.compare(0, 2, "--") == 0 && equals != std::string::npos;
    if (hasAttached) {
        attached = word.substr(equals + 1);
        word.erase(equals);
    }
    if (hasAttached && !TakesValue(word)) {
        error = "option " + word + " takes no value";
        return false;
    }
    if (TakeSwitch(word, parsed, seen))
        return true;
    if (TakesValue(word)) {
        if (!hasAttached && i + 1 >= argc) {
            error = "option " + word + " needs a value";
            return false;
        }
        return TakeValue(word, hasAttached ? attached : argv[++i], parsed, seen, error);
    }
    error = !word.empty() && word[0] == '-' ? "unknown option '" + word + "'"
                                            : "unexpected argument '" + word + "'";
    return false;
}

} // namespace

bool ParseMuroxOptions(int argc, const char* const* argv, const std::string& defaultConfig,
                       TMuroxOptions& options, std::string& error)
{
    TMuroxOptions parsed;
    parsed.configPath = defaultConfig;
    TSeen seen;
    for (int i = 1; i < argc; ++i)
        if (!TakeWord(argc, argv, i, parsed, seen, error))
            return false;
    error = Conflict(parsed, seen);
    if (!error.empty())
        return false;
    parsed.mode = seen.daemon   ? TMuroxMode::kDaemon
                  : seen.remote ? TMuroxMode::kRemote
                  : seen.check  ? TMuroxMode::kCheck
                                : TMuroxMode::kLocal;
    options = parsed;
    return true;
}
