#include "host/console/CommandCompletion.h"

#include <algorithm>

namespace {

const char kBlanks[] = " \t";
const char kHelpWord[] = "help";
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
    // The finished words, then the one being typed.
    std::vector<std::string> words;
    std::string::size_type start = lineBeforeCursor.find_first_not_of(kBlanks);
    while (start != std::string::npos) {
        const std::string::size_type end = lineBeforeCursor.find_first_of(kBlanks, start);
        if (end == std::string::npos)
            break;
        words.push_back(lineBeforeCursor.substr(start, end - start));
        start = lineBeforeCursor.find_first_not_of(kBlanks, end);
    }
    const std::string typed = start == std::string::npos ? "" : lineBeforeCursor.substr(start);

    if (words.empty())
        return StartingWith(commandWords, typed);
    if (words.size() == 1 && words[0] == kHelpWord)
        return StartingWith(commandWords, typed);
    if (words[0] != kXdllWord)
        return {};
    if (words.size() == 1)
        return StartingWith(kXdllSwitches, typed);
    if (words.size() == 2 && Contains(kNamedSwitches, words[1]))
        return StartingWith(extensionNames, typed);
    return {};
}
