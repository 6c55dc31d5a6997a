// Where a console writes: its standard output and standard error. The
// console's screen writes through it, so that what would reach a terminal
// can be recorded without one.
#ifndef HOST_CONSOLE_ICONSOLEOUTPUT_H
#define HOST_CONSOLE_ICONSOLEOUTPUT_H

#include <string>

class IConsoleOutput {
public:
    enum TStream { kOut, kErr };

    virtual ~IConsoleOutput() = default;

    // Whether the stream is a terminal: what the daemon sent is then shown
    // made visible (host/protocol/VisibleText.h).
    virtual bool Terminal(TStream stream) const = 0;
    // Writes `bytes` at once; what goes to standard error comes after what
    // standard output holds.
    virtual void Write(TStream stream, const std::string& bytes) = 0;
    // The error (an errno value) that writing standard output met so far;
    // 0 when none.
    virtual int OutError() = 0;
};

// The process's own standard output and standard error.
IConsoleOutput& StandardOutput();

#endif
