// The console's side of the control socket: whatever a daemon sends
// (greeting, answers, events, words, farewells), cut into whatever pieces,
// the console reads it and shows it through a screen that records what
// would reach the terminal. Rules:
// - nothing written to a terminal holds a raw control character (other
//   than '\n' and '\t'), a C1 control, bytes that are not UTF-8 or a
//   character that hides or reorders text;
// - through a pipe, answers and events (a failure's on standard error)
//   pass byte for byte;
// - no completion word offered holds a blank or anything a terminal would
//   not show as it is;
// - what the reader holds stays within one frame and a piece, what is
//   written within a few times what arrived, and every frame taken
//   consumes bytes: reading never spins.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/console/BConsoleScreen.h"
#include "host/console/BDaemonConnection.h"
#include "host/console/CommandCompletion.h"
#include "host/console/IConsoleOutput.h"
#include "host/protocol/CommandGrammar.h"
#include "host/protocol/CommandWords.h"
#include "host/protocol/ControlProtocol.h"
#include "host/protocol/VisibleText.h"

namespace {

const char kPath[] = "/run/murox/murox.ctl";

class BRecordedOutput : public IConsoleOutput {
public:
    BRecordedOutput(bool outTerminal, bool errTerminal) : m_terminal{outTerminal, errTerminal} {}

    bool Terminal(TStream stream) const override { return m_terminal[stream]; }
    void Write(TStream stream, const std::string& bytes) override { m_written[stream] += bytes; }
    int OutError() override { return 0; }

    const std::string& Written(TStream stream) const { return m_written[stream]; }

private:
    bool m_terminal[2];
    std::string m_written[2];
};

void Check(bool rule)
{
    if (!rule)
        std::abort();
}

// The length of the UTF-8 sequence at `i`, 0 when none valid starts there.
std::size_t SequenceAt(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                         : lead >= 0xe0 && lead <= 0xef ? 3
                         : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                        : 0;
    if (length == 0 || text.size() - i < length)
        return 0;
    const unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(k) < 0x80 || byte(k) > 0xbf)
            return 0;
    return length;
}

// A character that Unicode's data says is not shown as itself.
bool Hides(const std::string& text, std::size_t i, std::size_t length)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    std::uint32_t code = byte(0) & (0x7fu >> length);
    for (std::size_t k = 1; k < length; ++k)
        code = code << 6 | (byte(k) & 0x3fu);
    return control::HiddenCharacter(code);
}

// What a terminal may be given: text that shows as it is.
void CheckVisible(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            Check((byte >= 0x20 || byte == '\n' || byte == '\t') && byte != 0x7f);
            ++i;
            continue;
        }
        const std::size_t length = SequenceAt(text, i);
        Check(length > 0 && !Hides(text, i, length));
        i += length;
    }
}

void CheckWords(const control::TCommandWords& words)
{
    std::vector<std::string> lines = {"", "help ", "xdll "};
    for (const control::TCommandWord& command : words.commands)
        for (const control::TSwitchWord& option : command.switches)
            lines.push_back(command.word + " " + option.word + " ");
    for (const std::string& line : lines)
        for (const std::string& word : CompleteCommandLine(line, words)) {
            Check(!word.empty() && word.find_first_of(command::kBlanks) == std::string::npos);
            CheckVisible(word);
        }
}

// What the screen must write through a pipe: the frames' text as it came.
void Expect(const control::TFrame& frame, std::string expected[2])
{
    if (frame.type == control::kEvent)
        expected[IConsoleOutput::kOut] += frame.payload + "\n";
    else if (frame.type == control::kAnswer)
        expected[IConsoleOutput::kOut] += frame.payload;
    else if (frame.type == control::kFailed || frame.type == control::kFarewell)
        expected[IConsoleOutput::kErr] += frame.payload;
    else if (frame.type == control::kFailureEvent)
        expected[IConsoleOutput::kErr] += frame.payload + "\n";
}

// One console's reading of a daemon's bytes, and what it must have shown.
class BConsoleRun {
public:
    BConsoleRun(bool outTerminal, bool errTerminal) : m_output(outTerminal, errTerminal) {}

    // The next bytes, as they arrive; false once the console stopped.
    bool Feed(const char* pData, std::size_t size)
    {
        m_reader.Append(pData, size);
        m_fed += size;
        ++m_pieces;
        Check(m_reader.Buffered() <= control::kHeaderSize + control::kMaxFrame + size);
        control::TFrame frame;
        control::BFrameReader::TResult result;
        while (!m_ended && (result = m_reader.Next(frame)) == control::BFrameReader::kFrame) {
            Check(++m_frames <= m_fed + m_pieces); // each frame takes bytes
            Take(frame);
        }
        if (!m_ended && result == control::BFrameReader::kMalformed) {
            const std::string error = "the daemon sent a malformed frame";
            m_screen.Lost(error);
            m_expected[IConsoleOutput::kErr] += "murox: " + error + "\n";
            m_ended = true;
        }
        return !m_ended;
    }

    void Verify()
    {
        m_screen.Status();
        for (const IConsoleOutput::TStream which : {IConsoleOutput::kOut, IConsoleOutput::kErr}) {
            const std::string& written = m_output.Written(which);
            Check(written.size() <= 4 * m_fed + 256 * (m_frames + 1));
            if (m_output.Terminal(which))
                CheckVisible(written);
        }
        if (!m_greeted)
            return;
        // Through a pipe, after the greeting's line, the daemon's text as it came.
        if (!m_output.Terminal(IConsoleOutput::kOut)) {
            const std::string& out = m_output.Written(IConsoleOutput::kOut);
            const std::string::size_type line = out.find('\n');
            Check(line != std::string::npos);
            CheckVisible(out.substr(0, line + 1));
            Check(out.substr(line + 1) == m_expected[IConsoleOutput::kOut]);
        }
        if (!m_output.Terminal(IConsoleOutput::kErr))
            Check(m_output.Written(IConsoleOutput::kErr) == m_expected[IConsoleOutput::kErr]);
    }

private:
    void Take(const control::TFrame& frame)
    {
        if (!m_greeted) {
            std::string greeting;
            std::string error;
            m_greeted = TakeGreeting(frame, kPath, greeting, error);
            m_ended = !m_greeted;
            if (m_greeted)
                m_screen.Greet(kPath, greeting);
            else
                m_screen.Lost(error);
        } else if (frame.type == control::kWords) {
            CheckWords(control::DecodeWords(frame.payload));
        } else {
            Expect(frame, m_expected);
            m_ended = !m_screen.Show(frame);
        }
    }

    BRecordedOutput m_output;
    BConsoleScreen m_screen{m_output};
    control::BFrameReader m_reader = control::BFrameReader::FromDaemon();
    std::string m_expected[2]; // through a pipe, after the greeting
    std::size_t m_fed = 0;
    std::size_t m_pieces = 0;
    std::size_t m_frames = 0;
    bool m_greeted = false;
    bool m_ended = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte: the piece size (low six bits), whether standard
    // output (0x40) and standard error (0x80) are terminals.
    const std::size_t piece = 1 + pData[0] % 64;
    BConsoleRun run((pData[0] & 0x40) != 0, (pData[0] & 0x80) != 0);
    const std::string stream(reinterpret_cast<const char*>(pData + 1), size - 1);
    for (std::size_t at = 0; at < stream.size(); at += piece)
        if (!run.Feed(stream.data() + at, std::min(piece, stream.size() - at)))
            break;
    run.Verify();
    return 0;
}
