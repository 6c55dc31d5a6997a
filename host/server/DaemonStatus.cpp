#include "host/server/DaemonStatus.h"

#include "host/protocol/VisibleText.h"

namespace {

void Line(std::string& lines, const char* szKey, const std::string& value)
{
    lines += szKey;
    lines += ": ";
    lines += value;
    lines += '\n';
}

void Line(std::string& lines, const char* szKey, unsigned long long value)
{
    Line(lines, szKey, std::to_string(value));
}

} // namespace

void CountLibrary(const ExtAgent& agent, TDaemonStatus& status)
{
    if (agent.loaded != 0)
        ++status.loaded;
    else if (agent.status == kExtFailedToLoad)
        ++status.failedToLoad;
    else if (agent.status == kExtFailedToInit)
        ++status.failedToInit;
    else
        ++status.notLoaded;
}

const char* ListingStatus(const ExtAgent& agent)
{
    if (agent.loaded != 0)
        return "LOADED";
    switch (agent.status) {
    case kExtFailedToLoad:
        return "FAILED TO LOAD";
    case kExtFailedToInit:
        return "FAILED TO INITIALIZE/REGISTER";
    case kExtNotLoaded:
        return "NOT LOADED";
    default:
        return "unknown";
    }
}

std::string StatusLines(const TDaemonStatus& status)
{
    std::string lines;
    Line(lines, "version", MUROX_VERSION);
    Line(lines, "mode", status.daemon ? "daemon" : "shell");
    Line(lines, "pid", static_cast<unsigned long long>(status.pid));
    const long long uptimeMs =
        status.nowMs > status.startedMs ? status.nowMs - status.startedMs : 0;
    Line(lines, "uptime_seconds", static_cast<unsigned long long>(uptimeMs / 1000));
    Line(lines, "configuration", control::VisibleLine(status.configuration));
    Line(lines, "extension_dirs", control::VisibleLine(status.extensionDirs));
    Line(lines, "libraries",
         status.loaded + status.failedToLoad + status.failedToInit + status.notLoaded);
    Line(lines, "libraries_loaded", status.loaded);
    Line(lines, "libraries_failed_to_load", status.failedToLoad);
    Line(lines, "libraries_failed_to_initialize", status.failedToInit);
    Line(lines, "libraries_not_loaded", status.notLoaded);
    std::string names;
    for (const std::string& name : status.setAside)
        names += (names.empty() ? "" : " ") + control::VisibleLine(name);
    Line(lines, "libraries_set_aside", names);
    if (!status.daemon)
        return lines;
    Line(lines, "socket", control::VisibleLine(status.socket));
    Line(lines, "consoles", status.consoles);
    Line(lines, "events_dropped", status.eventsDropped);
    Line(lines, "consoles_refused", status.refusals);
    return lines;
}

nlohmann::ordered_json StatusJson(const TDaemonStatus& status)
{
    nlohmann::ordered_json facts = nlohmann::ordered_json::object();
    facts["version"] = MUROX_VERSION;
    facts["mode"] = status.daemon ? "daemon" : "shell";
    facts["pid"] = status.pid;
    const long long uptimeMs =
        status.nowMs > status.startedMs ? status.nowMs - status.startedMs : 0;
    facts["uptime_seconds"] = uptimeMs / 1000;
    facts["configuration"] = status.configuration;
    nlohmann::ordered_json dirs = nlohmann::ordered_json::array();
    for (std::string::size_type start = 0; start < status.extensionDirs.size();) {
        const std::string::size_type colon = status.extensionDirs.find(':', start);
        const std::string::size_type end =
            colon == std::string::npos ? status.extensionDirs.size() : colon;
        dirs.push_back(status.extensionDirs.substr(start, end - start));
        start = end + 1;
    }
    facts["extension_dirs"] = dirs;
    facts["libraries"] =
        status.loaded + status.failedToLoad + status.failedToInit + status.notLoaded;
    facts["libraries_loaded"] = status.loaded;
    facts["libraries_failed_to_load"] = status.failedToLoad;
    facts["libraries_failed_to_initialize"] = status.failedToInit;
    facts["libraries_not_loaded"] = status.notLoaded;
    facts["libraries_set_aside"] = status.setAside;
    if (status.daemon) {
        facts["socket"] = status.socket;
        facts["consoles"] = status.consoles;
        facts["events_dropped"] = status.eventsDropped;
        facts["consoles_refused"] = status.refusals;
    }
    return facts;
}
