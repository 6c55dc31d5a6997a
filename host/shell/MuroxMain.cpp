// The murox shell: a host that loads libMUROX the way the daemon does and
// lets an operator type its commands.
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "eventlog/MuroxMsgSubscriber.h"
#include "host/registry/ExtConfig.h"
#include "host/shell/BCmdInterpreter.h"
#include "host/shell/BStdoutStream.h"
#include "host/shell/MuroxOptions.h"
#include "hostapi/BFileNV.h"
#include "hostapi/BMessage.h"
#include "hostapi/DLLExtAgents.h"
#include "xdll/XDllCmdHndlr.h"

namespace {

const int kBadUsage = 2;

// False after "quit". A failing line is reported and the shell goes on.
bool RunLine(BCmdInterpreter& interpreter, const std::string& line, BStdoutStream& out)
{
    try {
        return interpreter.Execute(line, out);
    } catch (const std::exception& e) {
        out.Flush();
        std::fprintf(stderr, "murox: command failed: %s\n", e.what());
        return true;
    }
}

void RunSession(const TMuroxOptions& options, KAF::BFileNV& store)
{
    DLLExtAgents registry;
    registry.Load(&store);
    XDllCmdHndlr handler(store, registry);
    BCmdInterpreter interpreter;
    interpreter.Register(handler);
    BStdoutStream out;
    out.Flush();

    if (!options.lines.empty()) {
        for (const std::string& line : options.lines)
            if (!RunLine(interpreter, line, out))
                break;
        return;
    }
    const bool interactive = isatty(STDIN_FILENO) != 0;
    std::string line;
    for (;;) {
        if (interactive) {
            std::fputs("murox> ", stdout);
            out.Flush();
        }
        if (!std::getline(std::cin, line)) {
            if (interactive)
                std::fputs("\n", stdout);
            break;
        }
        if (!RunLine(interpreter, line, out))
            break;
    }
}

// An installed murox takes the configuration installed with it
// (<prefix>/share/murox/murox.conf); one run from the build tree, the
// build tree's.
std::string DefaultConfigPath()
{
    char exe[4096];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length > 0) {
        std::string installed(exe, static_cast<std::string::size_type>(length));
        installed.erase(installed.rfind('/') + 1);
        installed += MUROX_INSTALLED_CONFIG;
        if (access(installed.c_str(), R_OK) == 0)
            return installed;
    }
    return MUROX_DEFAULT_CONFIG;
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);

    const std::string defaultConfig = DefaultConfigPath();
    TMuroxOptions options;
    std::string error;
    if (!ParseMuroxOptions(argc, argv, defaultConfig, options, error)) {
        std::fprintf(stderr, "murox: %s\n%s", error.c_str(), MuroxUsage(defaultConfig).c_str());
        return kBadUsage;
    }
    if (options.help) {
        std::fputs(MuroxUsage(defaultConfig).c_str(), stdout);
        return 0;
    }

    KAF::BFileNV store;
    std::vector<TExtConfigEntry> entries;
    if (store.ReadFile(options.configPath.c_str()) == 0) {
        std::fprintf(stderr, "murox: %s\n", store.LastError());
        return kBadUsage;
    }
    if (!ReadExtConfig(store, entries, error)) {
        std::fprintf(stderr, "murox: %s: %s\n", options.configPath.c_str(), error.c_str());
        return kBadUsage;
    }

    // The sink is attached before the first library loads, so that their
    // init records are written, and detached only after the registry has
    // unloaded them all.
    const bool ownDispatcher = KAF::BMessageDispatcher::s_pInstance == nullptr;
    if (ownDispatcher)
        KAF::BMessageDispatcher::s_pInstance = new KAF::BMessageDispatcher;
    MuroxMsgSubscriber sink;
    if (options.toSyslog)
        sink.LogToSyslog();
    KAF::BMessageDispatcher::s_pInstance->Subscribe(&sink);

    RunSession(options, store);

    KAF::BMessageDispatcher::s_pInstance->Unsubscribe(&sink);
    std::fflush(stdout);
    if (ownDispatcher) {
        delete KAF::BMessageDispatcher::s_pInstance;
        KAF::BMessageDispatcher::s_pInstance = nullptr;
    }
    return 0;
}
