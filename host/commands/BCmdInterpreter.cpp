#include "host/commands/BCmdInterpreter.h"

#include <cstring>
#include <sstream>

#include "host/protocol/CommandGrammar.h"
#include "hostapi/BCmdLineParser.h"

namespace {

using command::kHelpWord;
using command::kQuitWord;

const char kStatusWord[] = "status";

// The built-in commands, shown by "help" like a handler's table.
const CliEntry kBuiltIns[] = {
    {0, kHelpWord,
     " help                            list every command with its help\n"
     " help <command>                  the help of one command\n",
     "[<command>]"},
    {0, kStatusWord,
     " status                          murox's state, one \"key: value\" line a fact\n", ""},
    {0, kQuitWord, " quit                            leave murox (so does the end of input)\n", ""},
    {-1, nullptr, nullptr, nullptr},
};

void WriteText(KAF::ICmdStream& out, const std::string& text)
{
    out.Write(KAF::BString(text.c_str()));
}

// The title line of a command's help, which says what the command is
// for: its first line when that is not a usage line (those begin with a
// blank), without trailing blanks. Empty when there is none.
std::string Title(const CliEntry& entry)
{
    if (entry.descr == nullptr || entry.descr[0] == ' ')
        return "";
    std::string title(entry.descr, std::strcspn(entry.descr, "\n"));
    title.erase(title.find_last_not_of(' ') + 1);
    return title;
}

// A command's synopsis and help; without its title line where that heads
// the command's group already.
void WriteEntry(KAF::ICmdStream& out, const CliEntry& entry, bool untitled = false)
{
    std::string synopsis = entry.cmdName;
    if (entry.argsDescr != nullptr && entry.argsDescr[0] != '\0')
        synopsis += std::string(" ") + entry.argsDescr;
    WriteText(out, synopsis + '\n');
    const char* szDescr = entry.descr != nullptr ? entry.descr : "";
    if (untitled && szDescr[std::strcspn(szDescr, "\n")] == '\n')
        szDescr += std::strcspn(szDescr, "\n") + 1;
    const std::size_t length = std::strlen(szDescr);
    WriteText(out, length > 0 && szDescr[length - 1] != '\n' ? std::string(szDescr) + '\n'
                                                             : std::string(szDescr));
}

bool IsOperand(const std::string& word)
{
    return word[0] == '<' || word[0] == '[';
}

// The switches of a command's help lines, in their order, once each.
std::vector<control::TSwitchWord> HelpSwitches(const CliEntry& entry)
{
    std::vector<control::TSwitchWord> switches;
    std::istringstream help(entry.descr != nullptr ? entry.descr : "");
    for (std::string line; std::getline(help, line);) {
        const std::vector<std::string> words = command::SplitWords(line);
        if (words.size() < 2 || words[0] != entry.cmdName ||
            KAF::BCmdLineParser::IsSwitch(KAF::BString(words[1].c_str())) == 0)
            continue;
        std::size_t end = 2;
        while (end < words.size() && IsOperand(words[end]))
            ++end;
        const bool takesName = end == 3 && words[2] == "<name>";
        bool known = false;
        for (const control::TSwitchWord& seen : switches)
            known = known || seen.word == words[1];
        if (!known)
            switches.push_back({words[1], takesName});
    }
    return switches;
}

bool IsBuiltIn(const std::string& word)
{
    for (const CliEntry* pRow = kBuiltIns; pRow->cmdId != -1; ++pRow)
        if (word == pRow->cmdName)
            return true;
    return false;
}

} // namespace

BCmdInterpreter::BCmdInterpreter(std::function<std::string()> status)
    : m_status(std::move(status)), m_words(MakeWords())
{
}

bool BCmdInterpreter::Register(KAF::BCmdHandler& handler)
{
    std::vector<TCommand> added;
    for (const CliEntry* pRow = handler.CmdGetMap(); pRow != nullptr && pRow->cmdId != -1; ++pRow) {
        if (pRow->cmdName == nullptr)
            return false;
        const std::string word = pRow->cmdName;
        if (word.empty() || IsBuiltIn(word) || Find(word) != nullptr)
            return false;
        for (const TCommand& command : added)
            if (word == command.pEntry->cmdName)
                return false;
        added.push_back({pRow, &handler});
    }
    m_commands.insert(m_commands.end(), added.begin(), added.end());
    m_words = MakeWords();
    return true;
}

const BCmdInterpreter::TCommand* BCmdInterpreter::Find(const std::string& word) const
{
    for (const TCommand& command : m_commands)
        if (word == command.pEntry->cmdName)
            return &command;
    return nullptr;
}

TLineOutcome BCmdInterpreter::Execute(const std::string& line, KAF::ICmdStream& out)
{
    if (command::IsQuit(line))
        return TLineOutcome::kLeave;
    const std::vector<std::string> words = command::SplitWords(line);
    if (words.empty())
        return TLineOutcome::kSucceeded;
    if (words[0] == kHelpWord)
        return Help(words, out) ? TLineOutcome::kSucceeded : TLineOutcome::kFailed;
    if (words[0] == kStatusWord) {
        if (words.size() > 1) {
            WriteText(out, "\"status\" takes no operand\n");
            return TLineOutcome::kFailed;
        }
        WriteText(out, m_status());
        return TLineOutcome::kSucceeded;
    }
    const TCommand* pCommand = Find(words[0]);
    if (pCommand == nullptr) {
        WriteText(out, "Unknown command '" + words[0] + "'; \"help\" lists the commands\n");
        return TLineOutcome::kFailed;
    }
    KAF::BStringArray args;
    for (std::size_t i = 1; i < words.size(); ++i)
        args.PushBack(KAF::BString(words[i].c_str()));
    pCommand->pHandler->CmdExecute(out, KAF::BString(words[0].c_str()), args,
                                   KAF::BSecurityParams(), KAF::BString());
    return TLineOutcome::kSucceeded;
}

control::TCommandWords BCmdInterpreter::MakeWords() const
{
    control::TCommandWords words;
    for (const TCommand& command : m_commands)
        words.commands.push_back({command.pEntry->cmdName, HelpSwitches(*command.pEntry)});
    for (const CliEntry* pRow = kBuiltIns; pRow->cmdId != -1; ++pRow)
        words.commands.push_back({pRow->cmdName, {}});
    return words;
}

bool BCmdInterpreter::Help(const std::vector<std::string>& words, KAF::ICmdStream& out) const
{
    if (words.size() > 1) {
        for (const CliEntry* pRow = kBuiltIns; pRow->cmdId != -1; ++pRow) {
            if (words[1] == pRow->cmdName) {
                WriteEntry(out, *pRow);
                return true;
            }
        }
        const TCommand* pCommand = Find(words[1]);
        if (pCommand == nullptr) {
            WriteText(out, "Unknown command '" + words[1] + "'; \"help\" lists the commands\n");
            return false;
        }
        WriteEntry(out, *pCommand->pEntry);
        return true;
    }
    // Each handler's commands under what they are for, the title of the
    // first one's help; else under their words. A handler's name is a
    // class's, which tells an operator nothing.
    for (std::size_t first = 0; first < m_commands.size();) {
        std::size_t end = first + 1;
        while (end < m_commands.size() && m_commands[end].pHandler == m_commands[first].pHandler)
            ++end;
        const std::string title = Title(*m_commands[first].pEntry);
        std::string heading = title;
        for (std::size_t i = first; title.empty() && i < end; ++i)
            heading +=
                (i == first ? "Commands " : ", ") + std::string(m_commands[i].pEntry->cmdName);
        WriteText(out, heading + ":\n");
        for (std::size_t i = first; i < end; ++i)
            WriteEntry(out, *m_commands[i].pEntry, i == first && !title.empty());
        first = end;
    }
    WriteText(out, "Commands of murox:\n");
    for (const CliEntry* pRow = kBuiltIns; pRow->cmdId != -1; ++pRow)
        WriteEntry(out, *pRow);
    return true;
}
