#include "host/shell/MuroxOptions.h"

std::string MuroxUsage(const std::string& defaultConfig)
{
    return "usage: murox [--config FILE] [--syslog] [-e LINE]...\n"
           "       murox --daemon [--config FILE] [--socket PATH] [--socket-group NAME] "
           "[--syslog]\n"
           "       murox --remote [--socket PATH] [-e LINE... | --follow]\n"
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

bool ParseMuroxOptions(int argc, const char* const* argv, const std::string& defaultConfig,
                       TMuroxOptions& options, std::string& error)
{
    TMuroxOptions parsed;
    parsed.configPath = defaultConfig;
    bool daemon = false, remote = false, check = false, config = false, socket = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        std::string attached;
        const std::string::size_type equals = word.find('=');
        const bool hasAttached = word.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (hasAttached) {
            attached = word.substr(equals + 1);
            word.erase(equals);
        }
        const bool takesValue =
            word == "--config" || word == "-e" || word == "--socket" || word == "--socket-group";
        if (hasAttached && !takesValue) {
            error = "option " + word + " takes no value";
            return false;
        }
        if (word == "--help" || word == "-h") {
            parsed.help = true;
        } else if (word == "--version" || word == "-V") {
            parsed.version = true;
        } else if (word == "--syslog") {
            parsed.toSyslog = true;
        } else if (word == "--daemon") {
            daemon = true;
        } else if (word == "--remote") {
            remote = true;
        } else if (word == "--check") {
            check = true;
        } else if (word == "--follow") {
            parsed.follow = true;
        } else if (takesValue) {
            if (!hasAttached && i + 1 >= argc) {
                error = "option " + word + " needs a value";
                return false;
            }
            const std::string value = hasAttached ? attached : argv[++i];
            if (word == "-e") {
                parsed.lines.push_back(value);
            } else if (word == "--socket-group") {
                parsed.socketGroup = value;
                if (value.empty()) {
                    error = "--socket-group needs a group";
                    return false;
                }
            } else if (word == "--socket") {
                socket = true;
                parsed.socketPath = value;
            } else {
                config = true;
                parsed.configPath = value;
            }
        } else if (!word.empty() && word[0] == '-') {
            error = "unknown option '" + word + "'";
            return false;
        } else {
            error = "unexpected argument '" + word + "'";
            return false;
        }
    }
    if (daemon && remote)
        error = "--daemon and --remote exclude each other";
    else if (check && (daemon || remote || socket || !parsed.lines.empty()))
        error = "--check takes only --config";
    else if (parsed.follow && (!remote || !parsed.lines.empty()))
        error = "--follow needs --remote and takes no -e lines";
    else if (daemon && !parsed.lines.empty())
        error = "--daemon takes no -e lines; send them with --remote";
    else if (remote && (config || parsed.toSyslog))
        error = "--remote takes neither --config nor --syslog: they are the daemon's";
    else if (socket && !daemon && !remote)
        error = "--socket needs --daemon or --remote";
    else if (!parsed.socketGroup.empty() && !daemon)
        error = "--socket-group needs --daemon";
    else if (socket && parsed.socketPath.empty())
        error = "--socket needs a path";
    if (!error.empty())
        return false;
    parsed.mode = daemon   ? TMuroxMode::kDaemon
                  : remote ? TMuroxMode::kRemote
                  : check  ? TMuroxMode::kCheck
                           : TMuroxMode::kLocal;
    options = parsed;
    return true;
}
