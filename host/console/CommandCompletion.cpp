#include "host/console/CommandCompletion.h"

#include <algorithm>

#include "host/protocol/CommandGrammar.h"
#include "host/protocol/VisibleText.h"

namespace {

// Whether the word can be offered as one word that shows as it is: a
// blank would split it in the line, and what VisibleText escapes would
// act on the terminal or hide.
bool Offerable(const std::string& word)
{
    return word.find_first_of(command::kBlanks) == std::string::npos &&
           control::VisibleText(word) == word;
}

void AddStartingWith(std::vector<std::string>& matches, const std::string& word,
                     const std::string& prefix)
{
    if (word.compare(0, prefix.size(), prefix) == 0 && Offerable(word) &&
        std::find(matches.begin(), matches.end(), word) == matches.end())
        matches.push_back(word);
}

std::vector<std::string> Commands(const control::TCommandWords& words, const std::string& prefix)
{
    std::vector<std::string> matches;
    for (const control::TCommandWord& command : words.commands)
        AddStartingWith(matches, command.word, prefix);
    return matches;
}

std::vector<std::string> Switches(const control::TCommandWord& command, const std::string& prefix)
{
    std::vector<std::string> matches;
    for (const control::TSwitchWord& option : command.switches)
        AddStartingWith(matches, option.word, prefix);
    return matches;
}

std::vector<std::string> Names(const control::TCommandWords& words, const std::string& prefix)
{
    std::vector<std::string> matches;
    for (const std::string& name : words.names)
        AddStartingWith(matches, name, prefix);
    return matches;
}

const control::TCommandWord* FindCommand(const control::TCommandWords& words,
                                         const std::string& word)
{
    for (const control::TCommandWord& command : words.commands)
        if (command.word == word)
            return &command;
    return nullptr;
}

bool TakesName(const control::TCommandWord& command, const std::string& word)
{
    for (const control::TSwitchWord& option : command.switches)
        if (option.word == word)
            return option.takesName;
    return false;
}

} // namespace

std::vector<std::string> CompleteCommandLine(const std::string& lineBeforeCursor,
                                             const control::TCommandWords& words)
{
    // The finished words, then the one being typed (none after a blank).
    std::vector<std::string> finished = command::SplitWords(lineBeforeCursor);
    std::string typed;
    if (!finished.empty() && !command::IsBlank(lineBeforeCursor.back())) {
        typed = finished.back();
        finished.pop_back();
    }

    if (finished.empty() || (finished.size() == 1 && finished[0] == command::kHelpWord))
        return Commands(words, typed);
    const control::TCommandWord* pCommand = FindCommand(words, finished[0]);
    if (pCommand == nullptr)
        return {};
    if (finished.size() == 1)
        return Switches(*pCommand, typed);
    if (finished.size() == 2 && TakesName(*pCommand, finished[1]))
        return Names(words, typed);
    return {};
}

BLineReader::TCompleter CommandCompleter(std::function<control::TCommandWords()> words)
{
    return [words = std::move(words)](const std::string& lineBeforeCursor) {
        return CompleteCommandLine(lineBeforeCursor, words());
    };
}
