#include "host/console/CommandCompletion.h"

#include <algorithm>

#include "host/protocol/CommandGrammar.h"

namespace {

const char kXdllWord[] = "xdll";
const std::vector<std::string> kXdllSwitches = {"-l", "-u", "-f", "-r", "-a", "-d"};
// The switches whose operand is the name of a configured library.
const std::vector<std::string> kNamedSwitches = {"-l", "-u", "-f", "-d"};

std::vector<std::string> StartingWith(const std::vector<std::string>& words,
                                      const std::string& prefix)
{
    std::vector<std::string> matches;
    for (const std::string& word : words)
        if (word.compare(0, prefix.size(), prefix) == 0 &&
            std::find(matches.begin(), matches.end(), word) == matches.end())
            matches.push_back(word);
    return matches;
}

bool Contains(const std::vector<std::string>& words, const std::string& word)
{
    return std::find(words.begin(), words.end(), word) != words.end();
}

} // namespace

std::vector<std::string> CompleteCommandLine(const std::string& lineBeforeCursor,
                                             const std::vector<std::string>& commandWords,
                                             const std::vector<std::string>& extensionNames)
{
    // The finished words, then the one being typed (none after a blank).
    std::vector<std::string> words = command::SplitWords(lineBeforeCursor);
    std::string typed;
    if (!words.empty() && !command::IsBlank(lineBeforeCursor.back())) {
        typed = words.back();
        words.pop_back();
    }

    if (words.empty())
        return StartingWith(commandWords, typed);
    if (words.size() == 1 && words[0] == command::kHelpWord)
        return StartingWith(commandWords, typed);
    if (words[0] != kXdllWord)
        return {};
    if (words.size() == 1)
        return StartingWith(kXdllSwitches, typed);
    if (words.size() == 2 && Contains(kNamedSwitches, words[1]))
        return StartingWith(extensionNames, typed);
    return {};
}
