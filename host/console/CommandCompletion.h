// Tab completion of the operator's command lines, from the words the
// daemon or the shell describes.
#ifndef HOST_CONSOLE_COMMANDCOMPLETION_H
#define HOST_CONSOLE_COMMANDCOMPLETION_H

#include <functional>
#include <string>
#include <vector>

#include "host/console/BLineReader.h"
#include "host/protocol/CommandWords.h"

// The words that may replace the word being typed at the end of
// `lineBeforeCursor` (what follows its last blank; empty after a blank),
// each starting with it, once each, in the order `words` gives them:
// - the first word: a command word;
// - after "help": a command word;
// - after a command word: one of its switches;
// - after a switch that takes a name: an extension library's name.
// Nothing anywhere else (the new name and the path of "xdll -a", the
// words after the ones above). Words are split as the interpreter splits
// them. Whatever `words` holds, a word with a blank in it, or that a
// terminal would not show as it is (what VisibleText escapes: a control
// character, a character that hides or reorders text, bytes that are not
// UTF-8), is never offered: it would not stay one word in the line, or
// could not be typed anyway.
std::vector<std::string> CompleteCommandLine(const std::string& lineBeforeCursor,
                                             const control::TCommandWords& words);

// Completes as CompleteCommandLine does, with the words `words` returns
// at each Tab.
BLineReader::TCompleter CommandCompleter(std::function<control::TCommandWords()> words);

#endif
