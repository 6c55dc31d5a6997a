// One of the line reader's two modes, plain or editing: BLineReader
// chooses one when it opens and forwards to it. Contracts as BLineReader's
// in that mode.
#ifndef HOST_CONSOLE_ILINEINPUT_H
#define HOST_CONSOLE_ILINEINPUT_H

#include <string>
#include <vector>

class ILineInput {
public:
    virtual ~ILineInput() = default;

    virtual bool Editing() const = 0;
    virtual int Fd() const = 0;
    // Also called once the input ended: false again, and a prompt shown
    // since is ended with a newline where the mode writes one.
    virtual bool Read(std::vector<std::string>& lines) = 0;
    virtual void ShowPrompt() = 0;
    virtual void HidePrompt() = 0;
    virtual void CatchInterrupts() = 0;
    virtual int InterruptFd() const = 0;
    virtual bool TakeInterrupt() = 0;
    virtual void PrintAbove(const std::string& text) = 0;
};

#endif
