#include "host/protocol/CommandGrammar.h"

#include <cstring>

namespace command {

bool IsBlank(char c)
{
    return c != '\0' && std::strchr(kBlanks, c) != nullptr;
}

std::vector<std::string> SplitWords(const std::string& line)
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

bool IsQuit(const std::string& line)
{
    // The first word, in place: every line the daemon runs is asked.
    const std::string::size_type start = line.find_first_not_of(kBlanks);
    if (start == std::string::npos)
        return false;
    const std::string::size_type end = line.find_first_of(kBlanks, start);
    return line.compare(start, end - start, kQuitWord) == 0;
}

} // namespace command
