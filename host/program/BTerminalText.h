// The shell's standard output on a terminal: what the libraries and the
// configuration hold is shown as text, never obeyed as a terminal command.
#ifndef HOST_PROGRAM_BTERMINALTEXT_H
#define HOST_PROGRAM_BTERMINALTEXT_H

#include <cstddef>
#include <cstdio>

#include <sys/types.h>

#include "host/protocol/VisibleText.h"

// While active on a terminal, the C library's `stdout` (where the event
// sink writes its records and the shell its answers) passes everything
// through control::BVisibleText to descriptor 1. Through a pipe or into a
// file nothing changes: everything passes byte for byte. Paused, stdout is
// the terminal itself again, for the line editor's own sequences.
class BTerminalText {
public:
    BTerminalText();
    // Shows what is left and puts the original stdout back.
    ~BTerminalText();
    BTerminalText(const BTerminalText&) = delete;
    BTerminalText& operator=(const BTerminalText&) = delete;

    // Whether standard output is a terminal, and so escaped while active.
    bool Escapes() const { return m_pStream != nullptr; }
    void Pause();
    void Resume();

private:
    static ssize_t Write(void* pCookie, const char* pData, std::size_t size);
    bool WriteOut(const std::string& text);

    control::BVisibleText m_visible;
    FILE* m_pOriginal = nullptr;
    FILE* m_pStream = nullptr;
};

#endif
