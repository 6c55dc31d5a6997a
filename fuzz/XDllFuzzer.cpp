// Turns its input into a registry script and an "xdll" line, runs the line
// and checks the whole trace of pieces written and registry calls made
// against the command's rules:
//   - a command word other than "xdll" gets nothing at all;
//   - a line without switches gets exactly the listing of the records;
//   - otherwise every piece is one of the command's messages, "No such ext
//     DLL" follows an Exist that answered zero, Load/Unload/Delete of a
//     name follow an Exist of that name that answered nonzero, every name
//     is the first plain argument, Add gets the first two or three plain
//     arguments and only when there are two, and each switch with an
//     unknown letter gets one "Unknown option".
// Input: byte 0 picks the command word and the records, byte 1 scripts
// Exist's first answers, the rest are the words, separated by blanks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "hostapi/BCmdLineParser.h"
#include "hostapi/BFileNV.h"
#include "hostapi/BString.h"
#include "tests/support/FakeRegistry.h"
#include "tests/support/RecordingStream.h"
#include "tests/support/Text.h"
#include "xdll/XDllCmdHndlr.h"

namespace {

using Strings = std::vector<std::string>;

// Pieces go into the registry's log as "Write(text)", so that one trace
// holds pieces and calls in their order; no registry call starts so.
bool IsWrite(const std::string& entry)
{
    return entry.compare(0, 6, "Write(") == 0;
}

[[noreturn]] void Broken(const char* szRule, const std::string& entry)
{
    std::fprintf(stderr, "xdll broke a rule: %s; at trace entry \"%s\"\n", szRule, entry.c_str());
    std::abort();
}

KAF::BString ToBString(const std::string& text)
{
    KAF::BString s;
    if (!text.empty())
        s.Assign(text.data(), static_cast<unsigned>(text.size()));
    return s;
}

// Restated here on purpose: the oracle must not share the code it checks.
const char* StatusText(const ExtAgent& agent)
{
    if (agent.loaded != 0)
        return "LOADED";
    switch (agent.status) {
    case 1:
        return "FAILED TO LOAD";
    case 2:
        return "FAILED TO INITIALIZE/REGISTER";
    case 3:
        return "NOT LOADED";
    default:
        return "unknown";
    }
}

void CheckListing(const Strings& trace, const std::vector<ExtAgent>& records)
{
    Strings expected;
    const auto write = [&](const std::string& text) { expected.push_back("Write(" + text + ")"); };
    for (size_t i = 0; i < records.size(); ++i) {
        const ExtAgent& agent = records[i];
        expected.push_back("NumExtAgents");
        expected.push_back("ExtAgentAt(" + std::to_string(i) + ")");
        write(Text(agent.name));
        write("\n   Path:   ");
        write(Text(agent.path));
        write("\n   Web:    ");
        write(Text(agent.web));
        write("\n   Load:   ");
        write(agent.load != 0 ? "1" : "0");
        write("\n   Status: ");
        write(StatusText(agent));
        write("\n");
    }
    expected.push_back("NumExtAgents");
    for (size_t i = 0; i < std::max(trace.size(), expected.size()); ++i) {
        if (i >= trace.size() || i >= expected.size() || trace[i] != expected[i])
            Broken("the listing differs from the records",
                   i < trace.size() ? trace[i] : "(end of trace)");
    }
}

// Exist's answers as the script gives them: first the scripted ones, then
// whether the name is known.
class TExistModel {
public:
    explicit TExistModel(const fake_registry::TState& state)
        : m_answers(state.existAnswers), m_known(state.known)
    {
    }
    bool Next(const std::string& name)
    {
        if (!m_answers.empty()) {
            const int answer = m_answers.front();
            m_answers.pop_front();
            return answer != 0;
        }
        return std::find(m_known.begin(), m_known.end(), name) != m_known.end();
    }

private:
    std::deque<int> m_answers;
    Strings m_known;
};

void CheckActions(const Strings& trace, const Strings& switches, const Strings& plain,
                  TExistModel exist)
{
    size_t unknownExpected = 0;
    bool rereads = false;
    for (const std::string& word : switches) {
        char letter = 0;
        KAF::BString value;
        if (!KAF::BCmdLineParser::SplitSwitch(ToBString(word), letter, value))
            continue;
        unknownExpected += std::string("adflru").find(letter) == std::string::npos;
        rereads = rereads || letter == 'r';
    }
    const std::string name = plain.empty() ? std::string() : plain[0];
    size_t unknownSeen = 0;
    bool lastExistAnswer = false;
    std::string previous;
    for (const std::string& entry : trace) {
        const bool afterKnownName = previous.compare(0, 6, "Exist(") == 0 && lastExistAnswer;
        if (IsWrite(entry)) {
            const std::string text = entry.substr(6, entry.size() - 7);
            if (text == "Unknown option\n")
                ++unknownSeen;
            else if (text == "No such ext DLL\n") {
                if (previous.compare(0, 6, "Exist(") != 0 || lastExistAnswer)
                    Broken("\"No such ext DLL\" without an Exist that answered zero", entry);
            } else if (text == "Please specify name of the ext DLL to load\n" ||
                       text == "Please specify name of the ext DLL to unload\n" ||
                       text == "Please specify name of the ext DLL to remove\n") {
                if (!plain.empty())
                    Broken("asked for a name that was given", entry);
            } else if (text == "Please specify at least <name> and <path>\n") {
                if (plain.size() >= 2)
                    Broken("asked for a name and a path that were given", entry);
            } else {
                Broken("wrote a text that is not one of the command's messages", entry);
            }
        } else if (entry.compare(0, 6, "Exist(") == 0) {
            if (plain.empty() || entry != "Exist(" + name + ")")
                Broken("Exist of something other than the first plain argument", entry);
            lastExistAnswer = exist.Next(name);
        } else if (entry == "Load(store)" && (rereads || name == "store")) {
            // Re-reading the configuration; the fake logs the store so,
            // and a load of a library named "store" the same.
            if (!rereads && !afterKnownName)
                Broken("acted on a name without Exist answering for it", entry);
        } else if (entry == "Load(" + name + ")" || entry == "Unload(" + name + ")" ||
                   entry == "Delete(store," + name + ")") {
            if (plain.empty() || !afterKnownName)
                Broken("acted on a name without Exist answering for it", entry);
        } else if (entry.compare(0, 4, "Add(") == 0) {
            const std::string web = plain.size() >= 3 ? plain[2] : std::string();
            if (plain.size() < 2 ||
                entry != "Add(store," + plain[0] + "," + plain[1] + "," + web + ")")
                Broken("Add without its operands", entry);
        } else {
            Broken("a registry call the rules do not allow", entry);
        }
        previous = entry;
    }
    if (unknownSeen != unknownExpected)
        Broken("not one \"Unknown option\" per switch with an unknown letter",
               std::to_string(unknownSeen) + " of " + std::to_string(unknownExpected));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t flags = size > 0 ? data[0] : 0;
    const uint8_t answers = size > 1 ? data[1] : 0;
    const std::string command = (flags & 0x80) != 0 ? "xdl" : "xdll";

    Strings words;
    if (size > 2) {
        const std::string rest(reinterpret_cast<const char*>(data) + 2, size - 2);
        size_t start = 0;
        for (size_t blank; (blank = rest.find(' ', start)) != std::string::npos; start = blank + 1)
            words.push_back(rest.substr(start, blank - start));
        words.push_back(rest.substr(start));
    }

    KAF::BFileNV store("/nonexistent/fuzz.conf");
    DLLExtAgents agents;
    XDllCmdHndlr handler(store, agents);

    fake_registry::Reset(&store);
    fake_registry::TState& state = fake_registry::State();
    const char* const names[] = {"foo", "bar", ""};
    const char* const paths[] = {"/lib/foo.so", "/lib/bar.so", ""};
    const char* const webs[] = {"", "/web/bar", "w"};
    for (int i = 0; i < (flags & 3); ++i)
        state.records.push_back(ExtAgent{names[i], paths[i], webs[i], ((flags >> 2) ^ i) & 1,
                                         ((flags >> 3) + i) % 5, (flags >> 6) & (i == 0)});
    state.known = {"foo", "bar"};
    // A zero byte leaves Exist to the known names.
    for (int bit = 0; answers != 0 && bit < 8; ++bit)
        state.existAnswers.push_back((answers >> bit) & 1);
    const TExistModel exist(state);

    KAF::BStringArray args;
    for (const std::string& word : words)
        args.PushBack(ToBString(word));
    TRecordingStream out(&state.calls);
    handler.CmdExecute(out, KAF::BString(command.c_str()), args, KAF::BSecurityParams(),
                       KAF::BString());

    const Strings& trace = state.calls;
    if (command != "xdll") {
        if (!trace.empty())
            Broken("answered a command word other than xdll", trace[0]);
        return 0;
    }
    Strings switches, plain;
    for (const std::string& word : words)
        (KAF::BCmdLineParser::IsSwitch(ToBString(word)) ? switches : plain).push_back(word);
    if (switches.empty())
        CheckListing(trace, state.records);
    else
        CheckActions(trace, switches, plain, exist);
    return 0;
}
