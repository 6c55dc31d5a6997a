// Tab completion of the operator's command lines.
#ifndef HOST_CONSOLE_COMMANDCOMPLETION_H
#define HOST_CONSOLE_COMMANDCOMPLETION_H

#include <string>
#include <vector>

// The words that may replace the word being typed at the end of
// `lineBeforeCursor` (what follows its last blank or tab; empty after a
// blank), each starting with it, in the order of the lists given:
// - the first word: a command word;
// - after "help": a command word;
// - after "xdll": one of its switches, -l -u -f -r -a -d;
// - after "xdll -l", "-u", "-f" or "-d": an extension library's name.
// Nothing anywhere else (the new name and the path of "xdll -a", the
// words after the ones above). Words are split as the interpreter splits
// them (host/protocol/CommandGrammar.h).
std::vector<std::string> CompleteCommandLine(const std::string& lineBeforeCursor,
                                             const std::vector<std::string>& commandWords,
                                             const std::vector<std::string>& extensionNames);

#endif
