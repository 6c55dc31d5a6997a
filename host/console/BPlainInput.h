// The plain mode of BLineReader: standard input read as std::getline reads
// it, without editing or history.
#ifndef HOST_CONSOLE_BPLAININPUT_H
#define HOST_CONSOLE_BPLAININPUT_H

#include <memory>
#include <string>
#include <vector>

#include "host/console/BSignalPipe.h"
#include "host/console/ILineInput.h"

class BPlainInput : public ILineInput {
public:
    explicit BPlainInput(const char* szPrompt);

    bool Editing() const override { return false; }
    int Fd() const override;
    bool Read(std::vector<std::string>& lines) override;
    void ShowPrompt() override;
    void HidePrompt() override { m_promptShown = false; }
    void CatchInterrupts() override;
    int InterruptFd() const override;
    bool TakeInterrupt() override;
    void PrintAbove(const std::string& text) override;

private:
    // Ends a prompt shown at the end of the input.
    void End();

    std::string m_prompt;
    bool m_terminal; // standard input is one: the prompt is written
    bool m_promptShown = false;
    bool m_ended = false;
    std::string m_partial;                   // read, not yet ended by '\n'
    std::unique_ptr<BSignalPipe> m_pSignals; // Ctrl-C, when CatchInterrupts
};

#endif
