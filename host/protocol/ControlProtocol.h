// The wire format of the murox control socket, shared by the daemon's
// control server and the operator console.
//
// Both directions carry frames: one type byte, the payload's length as four
// bytes, most significant first, then the payload itself, any byte values.
//
//   console -> daemon
//     'L'  a command line, without its newline, at most kMaxLine bytes; the
//          daemon runs it and answers with exactly one 'A'. A longer one is
//          refused with an 'A' saying so, and the connection stays usable.
//     'J'  a command line as 'L', whose answer is instead one JSON object on
//          one line (murox(1), JSON OUTPUT): what the line did, the events
//          it caused, its reasons for failing and the facts of a listing or
//          "status", in the same 'A' or 'E'. A refused one is answered
//          with an object too.
//     'S'  which events the console is sent from now on: "all" of them (as
//          at the start), or "own", those published while its own lines run.
//          Answered by the same 'S': the events before it came before the
//          choice.
//   daemon -> console
//     'H'  the greeting, sent once the peer is let in: kGreeting, a blank,
//          the daemon's process id, a blank, the daemon's version. A
//          console gives up on a daemon that has not greeted it within 10
//          seconds.
//     'A'  the answer to one 'L' that succeeded: the text the command wrote,
//          byte for byte (possibly empty); to a 'J', its object. Each 'L'
//          and each 'J' gets one 'A' or one 'E',
//          in the order of the requests. An answer may be of any length (a
//          listing of many thousand libraries runs to megabytes): the
//          console takes it in pieces as they arrive and passes each on, so
//          its memory stays bounded.
//     'E'  the answer to one 'L' or 'J' that failed (refused, or what it
//          asked for did not happen), as 'A' otherwise.
//     'S'  the answer to an 'S': the events it chose follow.
//     'V'  an event record: the text of one published event, no newline.
//          Frames never interleave: an event published while an answer is
//          on its way follows it. The events a line causes reach its
//          console before that line's answer.
//     'F'  a failure event: as 'V', sent instead of it to the console whose
//          line caused it, when it says why that line fails (an extension
//          library that did not load, a name configured already). Other
//          consoles get the same event as a 'V'. A console shows it where
//          it shows a failed line's answer.
//     'W'  the words a console completes, unasked: right after the greeting,
//          and to every console again whenever a line or a reload changed
//          them (the words a line changes reach its console before that
//          line's answer). One word a line, after a tag and a blank:
//            "c WORD"  a command word;
//            "s WORD"  a switch of the command word above it;
//            "n WORD"  such a switch whose operand is the name of an
//                      extension library ("xdll -l NAME");
//            "e NAME"  the name of an extension library.
//          Commands come first, each followed by its switches, then the
//          names. At most kMaxWords words of at most kMaxWordLength bytes
//          (CommandWords.h): a receiver passes over what lies beyond, and
//          over lines of another form.
//     'X'  a last word before the daemon closes the connection (access
//          refused, too many consoles, the daemon stopping), one line. Sent
//          instead of the greeting to a peer whose credentials are refused,
//          it starts with kAccessRefused; no other last word does.
//
// A frame of another type, or longer than its type allows (kMaxFrame for
// all but a refused 'L' or 'J' and an 'A'), is malformed: the receiver closes the
// connection.
#ifndef HOST_PROTOCOL_CONTROLPROTOCOL_H
#define HOST_PROTOCOL_CONTROLPROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/un.h>

namespace control {

const char kGreeting[] = "murox-control 5";

const char kLine = 'L';
const char kJsonLine = 'J';
const char kWords = 'W';
const char kEvents = 'S';
const char kHello = 'H';
const char kAnswer = 'A';
const char kFailed = 'E';
const char kEvent = 'V';
const char kFailureEvent = 'F';
const char kFarewell = 'X';

// How the farewell to a peer whose credentials are refused begins.
const char kAccessRefused[] = "murox: access refused: ";

// The payloads of 'S'.
const char kOwnEvents[] = "own";
const char kAllEvents[] = "all";

const std::size_t kHeaderSize = 5;
// The longest command line the daemon runs.
const std::uint32_t kMaxLine = 4096;
// The longest frame either side accepts; a refused line may be up to this
// long, anything longer is malformed. The daemon's answers may be longer:
// a console takes an 'A' of any length, in pieces.
const std::uint32_t kMaxFrame = 64 * 1024;

// The system daemon's socket, root's default, in root's runtime directory.
const char kSystemSocketPath[] = "/run/murox/murox.ctl";
const char kSystemRuntimeDirectory[] = "/run/murox";

// Where murox keeps what it makes while it runs (the default socket, the
// configuration's lock): /run/murox for root, $XDG_RUNTIME_DIR/murox for
// anyone else. Empty, with the reason in `error`, when there is none.
std::string RuntimeDirectory(std::string& error);

// Where the daemon listens unless told otherwise: /run/murox/murox.ctl for
// root, $XDG_RUNTIME_DIR/murox/murox.ctl for anyone else. Empty, with the
// reason in `error`, when there is no runtime directory to use.
std::string DefaultSocketPath(std::string& error);

// The address of the socket at `path`. False when the path is empty or
// longer than a socket address holds.
bool SocketAddress(const std::string& path, sockaddr_un& address);

// The payload length a frame's header (kHeaderSize bytes) announces.
std::uint32_t PayloadLength(const char* pHeader);

// Appends one frame to `out`.
void AppendFrame(std::string& out, char type, const char* pData, std::size_t length);
inline void AppendFrame(std::string& out, char type, const std::string& payload)
{
    AppendFrame(out, type, payload.data(), payload.size());
}

struct TFrame {
    char type = 0;
    std::string payload;
    bool oversized = false; // an 'L' or 'J' over kMaxLine: payload dropped
    bool more = false;      // a piece of an 'A' or 'E' that more pieces follow
};

// Cuts frames out of a byte stream as it arrives, taking only the types
// the receiving side takes. The console's side hands out an 'A' or 'E' of
// any length in pieces as its bytes arrive: each piece is a frame of its
// type holding the next bytes of the answer, with `more` set on all but
// the last (an empty answer is one empty piece). What the reader holds
// then stays within one frame of another type plus what the caller
// appends between two calls of Next().
class BFrameReader {
public:
    // What the daemon reads: the frames a console sends.
    static BFrameReader FromConsole() { return BFrameReader("LJS", false); }
    // What a console reads: the frames the daemon sends, answers in pieces.
    static BFrameReader FromDaemon() { return BFrameReader("HAESVFWX", true); }

    void Append(const char* pData, std::size_t length) { m_buffer.append(pData, length); }
    // Bytes received but not yet taken as frames.
    std::size_t Buffered() const { return m_buffer.size() - m_start; }
    // Whether Next() has a frame or a verdict to give without more bytes.
    bool Ready() const;

    enum TResult { kNone, kFrame, kMalformed };
    // The next whole frame (or answer piece), if one has arrived. Once
    // kMalformed, always.
    TResult Next(TFrame& frame);

private:
    BFrameReader(const char* szAccepted, bool answerStreamed)
        : m_szAccepted(szAccepted), m_answerStreamed(answerStreamed)
    {
    }

    // Whether a frame with this header is malformed on this side.
    bool Refused(char type, std::uint32_t length) const;
    bool Streamed(char type) const
    {
        return m_answerStreamed && (type == kAnswer || type == kFailed);
    }
    // The frame whose header starts the unread bytes, once it is whole.
    TResult NextWhole(char type, std::uint32_t length, TFrame& frame);
    // The next `size` bytes of the answer under way, as a piece of it.
    TResult TakePiece(std::size_t size, TFrame& frame);
    // Drops the bytes taken once they outweigh what is left.
    void Compact();

    const char* m_szAccepted;
    bool m_answerStreamed;
    bool m_malformed = false;
    std::string m_buffer;
    std::size_t m_start = 0;        // where the unread bytes begin
    std::uint32_t m_answerLeft = 0; // of the streamed answer under way
    char m_answerType = kAnswer;    // of that answer: 'A' or 'E'
};

} // namespace control

#endif
