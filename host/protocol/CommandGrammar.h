// How a command line reads. One grammar for the interpreter that runs the
// lines, the consoles that send and complete them, and the configuration,
// whose library names are words of such lines.
#ifndef HOST_PROTOCOL_COMMANDGRAMMAR_H
#define HOST_PROTOCOL_COMMANDGRAMMAR_H

#include <string>
#include <vector>

namespace command {

// What separates the words of a line. There is no quoting: no word holds
// one of these.
const char kBlanks[] = " \t\r\n";

// The interpreter's own commands: "help [<command>]" and "quit".
const char kHelpWord[] = "help";
const char kQuitWord[] = "quit";

bool IsBlank(char c);

// The words of `line`, in order.
std::vector<std::string> SplitWords(const std::string& line);

// Whether `line` asks to leave: its first word is "quit", whatever follows.
bool IsQuit(const std::string& line);

} // namespace command

#endif
