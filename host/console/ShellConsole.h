// What a console's line reader is given: where its history lives and how
// it completes.
#ifndef HOST_CONSOLE_SHELLCONSOLE_H
#define HOST_CONSOLE_SHELLCONSOLE_H

#include <functional>
#include <string>
#include <vector>

#include "host/console/BLineReader.h"

// ~/.murox_history: $HOME, else the user's home directory from the
// password database; empty (no history) when neither is known.
std::string MuroxHistoryPath();

struct TCompletionWords {
    std::vector<std::string> commands;
    std::vector<std::string> extensions;
};

// Reads the words a command runner offers ("c WORD" for a command word,
// "e NAME" for an extension library, one a line, as
// ICommandRunner::CompletionWords writes them); other lines are skipped.
TCompletionWords ParseCompletionWords(const std::string& text);

// Completes as CompleteCommandLine does, with the words `words` returns
// at each Tab (in that text form).
BLineReader::TCompleter WordsCompleter(std::function<std::string()> words);

#endif
