#include "host/console/CommandCompletion.h"

#include <algorithm>

namespace {

const char kBlanks[] = " \t\r\n";
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

std::vector<std::string> SplitCommandWords(const std::string& line)
{
    std::vector<std::string> words;
    std::string::size_type start = line.find_first_not_of(kBlanks);
    while (start != std::string::npos) {
        const std::string::size_type end = line.find_first_of(kBlanks, start);
        words.push_back(line.substr(start, end - start));
        start = line.find_first_not_of(kBlanks, end);
    }
    return words;
}

std::vector<std::string> CompleteCommandLine(const std::string& lineBeforeCursor,
                                             const std::vector<std::string>& commandWords,
                                             const std::vector<std::string>& extensionNames)
{
    // The finished words, then the one being typed (none after a blank).
    std::vector<std::string> words = SplitCommandWords(lineBeforeCursor);
    std::string typed;
    if (!words.empty() && !lineBeforeCursor.empty() &&
        std::string(kBlanks).find(lineBeforeCursor.back()) == std::string::npos) {
        typed = words.back();
        words.pop_back();
    }

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
