#include "host/console/ShellConsole.h"

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

#include "host/console/CommandCompletion.h"

std::string MuroxHistoryPath()
{
    const char* szHome = std::getenv("HOME");
    if (szHome == nullptr || szHome[0] == '\0') {
        const passwd* const pUser = getpwuid(getuid());
        szHome = pUser != nullptr ? pUser->pw_dir : nullptr;
    }
    if (szHome == nullptr || szHome[0] == '\0')
        return std::string();
    return std::string(szHome) + "/.murox_history";
}

TCompletionWords ParseCompletionWords(const std::string& text)
{
    TCompletionWords words;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        if (line.size() > 2 && line[1] == ' ' && line[0] == 'c')
            words.commands.push_back(line.substr(2));
        else if (line.size() > 2 && line[1] == ' ' && line[0] == 'e')
            words.extensions.push_back(line.substr(2));
        start = end + 1;
    }
    return words;
}

BLineReader::TCompleter WordsCompleter(std::function<std::string()> words)
{
    return [words](const std::string& lineBeforeCursor) {
        const TCompletionWords offered = ParseCompletionWords(words());
        return CompleteCommandLine(lineBeforeCursor, offered.commands, offered.extensions);
    };
}
