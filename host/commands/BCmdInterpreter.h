// The shell's command interpreter: routes each line to the handler whose
// command table names its first word.
#ifndef HOST_COMMANDS_BCMDINTERPRETER_H
#define HOST_COMMANDS_BCMDINTERPRETER_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host/protocol/CommandWords.h"
#include "host/server/ICommandRunner.h"
#include "hostapi/BCmdHandler.h"
#include "hostapi/ICmdStream.h"

// A line is split into words as host/protocol/CommandGrammar.h says; there
// is no quoting, so no word holds a blank. The first word picks the
// command, the others are its arguments, in order. Three commands are built
// in: "help [<command>]", "status" and "quit".
class BCmdInterpreter {
public:
    // `status` gives the answer of "status".
    explicit BCmdInterpreter(std::function<std::string()> status);
    BCmdInterpreter(const BCmdInterpreter&) = delete;
    BCmdInterpreter& operator=(const BCmdInterpreter&) = delete;

    // Learns the handler's name and table (CmdGetHndlrName, CmdGetMap);
    // the handler must outlive the interpreter. False, with nothing
    // registered, when its table names a word that is taken already.
    bool Register(KAF::BCmdHandler& handler);

    // Runs one line, writing its answer to `out`; a blank line does
    // nothing. kLeave for "quit", kFailed for a command or a help topic it
    // does not know, or "status" with an operand; what a handler's command
    // does is the handler's to say.
    TLineOutcome Execute(const std::string& line, KAF::ICmdStream& out);

    // Every command word, the registered ones in order, then the built-ins,
    // each with the switches its help gives one a line (" WORD -X <operand>...
    // what it does"): a switch whose only operand is "<name>" takes the name
    // of a configured extension library. No extension names. Made when a
    // handler registers: the server asks for them after lines.
    const control::TCommandWords& Words() const { return m_words; }

private:
    struct TCommand {
        const CliEntry* pEntry;
        KAF::BCmdHandler* pHandler;
    };

    const TCommand* Find(const std::string& word) const;
    control::TCommandWords MakeWords() const;
    // False for a topic it does not know.
    bool Help(const std::vector<std::string>& words, KAF::ICmdStream& out) const;

    std::function<std::string()> m_status;
    std::vector<TCommand> m_commands; // in registration and table order
    control::TCommandWords m_words;
};

#endif
