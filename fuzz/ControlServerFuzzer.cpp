// The control server's whole request path in process: consoles on
// socketpairs, the host's interpreter and "xdll" command over the scripted
// registry (which publishes an event for each change asked of it), and a
// loop that turns only when the input says so, never waiting, on a clock
// that moves only when the input says so. Each input byte is a step for one
// of four console slots: connect, queue requests and send what the socket
// takes, queue and send a piece, read some bytes, stop or resume reading,
// shut the sending side, hang up; or for the loop: turn it, let time pass
// and turn it, or publish an event and turn it. At the end every console
// still there sends and reads until nothing moves. Rules:
//   - a console reads whole frames of the daemon's types within their
//     lengths: the greeting first, the words it completes before any
//     answer, nothing after a last word;
//   - the words a console last got are the interpreter's and registry's
//     words as they are;
//   - each request gets one answer, in order, the one the interpreter gave
//     that very line (lines carry their console's own words), and nothing
//     answers a request not sent;
//   - every event published while a console is served reaches it, in order;
//   - a console is closed only once its "quit" is answered, after it sent a
//     malformed frame, once its input ended and all of it is answered,
//     after a last word, or once the time to take a last word it could
//     have been given has passed;
//   - a last word says why: that the console stopped reading, which only
//     one that stopped reading and could have passed the hard limit, or
//     the soft one with no turn reading it out for the stall's time, gets;
//     or that a frame was not whole in time, which only one that sent a
//     frame in pieces, the first that long before, not yet answered, gets
//     (not only one whose frame is not whole: the daemon also closes a
//     console whose frame waited whole but unread while the console's own
//     unread output paused its reading, judging it in the turn that
//     resumes reading, before the read);
//   - a console holding a frame not whole when the daemon reads it and the
//     frame's deadline has passed, counted from a turn that surely read its
//     first byte, is closed with a last word: no later line of it runs;
//   - no console's unsent output passes the hard limit by more than the
//     records logged after the limits were applied.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "eventlog/MuroxLogEvent.h"
#include "host/commands/BHostCommands.h"
#include "host/kaf/BSubscription.h"
#include "host/protocol/CommandWords.h"
#include "host/server/BControlServer.h"
#include "host/server/BControlSocket.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/FakeRegistry.h"
#include "tests/support/SystemCallFaults.h"

namespace {

const std::size_t kSlots = 4;
const std::size_t kMaxConnects = 8;
// Requests one input queues at most. Each runs the host's commands, tens of
// microseconds under the sanitizers, and every one is run before the input
// ends: unbounded, the corpus drifts to inputs of thousands of lines, and
// the fuzzer to a crawl. The events a step publishes flood consoles as well.
const std::size_t kMaxRequests = 16;
// Turns of the loop the steps of one input take at most, for the same
// reason; the end's are not counted.
const unsigned kMaxTurns = 64;
const std::size_t kRecordSlack = 2048; // a turn's last records, two a console at most
const std::size_t kRefusalSlack = 128; // the longest answer not from the interpreter
// The loop's clock when an input starts: every input starts at that time.
const time_t kStartSeconds = 1000;
// What a step lets pass, in milliseconds: around the limits' deadlines.
const long long kPassMs[8] = {1, 10, 100, 250, 500, 999, 1000, 3000};
const char kStorePath[] = "/nonexistent/murox-fuzz.conf";
const char kStalled[] = "murox: dropped: this console stopped reading";
const char kNotWhole[] = "murox: closed: a frame not whole";
const char kLineRefused[] = "murox: line refused: ";

[[noreturn]] void Broken(const char* szRule, int console)
{
    std::fprintf(stderr, "control server broke a rule: %s (console %d)\n", szRule, console);
    std::abort();
}

bool StartsWith(std::string_view text, const char* szStart)
{
    return text.compare(0, std::strlen(szStart), szStart) == 0;
}

// The registry's changes are events, as the daemon's registry makes them.
void PublishChange(const std::string& call)
{
    if (call.compare(0, 6, "Exist(") != 0 && call.compare(0, 3, "Num") != 0 &&
        call.compare(0, 10, "ExtAgentAt") != 0)
        MuroxLogEvent("registry: %s", call.c_str());
}

// The host's commands, made once: making them turns every handler's help
// into words, which costs more than most inputs. What a line may change is
// made anew for each input: the store, the registry's script, and whether
// the words changed.
class BCommandsOnce {
public:
    BCommandsOnce() : m_commands(Scripted(m_store)) {}

    BHostCommands& Fresh()
    {
        // The commands keep a reference to the store: a fresh one takes
        // the old one's place.
        m_store.~BFileNV();
        new (&m_store) KAF::BFileNV(kStorePath);
        fake_registry::TState& script = fake_registry::State();
        Scripted(m_store);
        script.records = {ExtAgent{"foo", "/lib/foo.so", "", 1, 0, 1},
                          ExtAgent{"bar", "/lib/bar.so", "/web/bar", 0, 3, 0}};
        script.known = {"foo", "bar"};
        script.pOnCall = PublishChange;
        m_commands.TakeWordsChanged();
        return m_commands;
    }

private:
    static KAF::BFileNV& Scripted(KAF::BFileNV& store)
    {
        fake_registry::Reset(&store);
        return store;
    }

    KAF::BFileNV m_store{kStorePath};
    BHostCommands m_commands;
};

BCommandsOnce& Commands()
{
    static BCommandsOnce s_commands;
    return s_commands;
}

class BCapture : public KAF::ICmdStream {
public:
    void Write(const KAF::BString& text) override { m_text.append(text.c_str(), text.length()); }
    std::string m_text;
};

// The host's commands, remembering what each line answered.
class BRecordingRunner : public ICommandRunner {
public:
    explicit BRecordingRunner(BHostCommands& commands) : m_commands(commands) {}
    TLineOutcome RunLine(const std::string& line, KAF::ICmdStream& out) override
    {
        BCapture answer;
        const TLineOutcome outcome = m_commands.RunLine(line, answer);
        const auto known = m_answers.find(line);
        if (known == m_answers.end())
            m_answers.emplace(line, std::make_pair(answer.m_text, outcome));
        else if (known->second.first != answer.m_text || known->second.second != outcome)
            Broken("the scripted commands answered a line two ways", 0);
        out.Write(KAF::BString(answer.m_text.c_str()));
        Note(answer.m_text);
        return outcome;
    }
    // A line's object, whose events and facts vary: Answer checks its form.
    TLineOutcome RunJsonLine(const std::string& line, KAF::ICmdStream& out) override
    {
        BCapture object;
        const TLineOutcome outcome = m_commands.RunJsonLine(line, object);
        out.Write(KAF::BString(Note(object.m_text).c_str()));
        return outcome;
    }
    void Reload(KAF::ICmdStream& out) override { m_commands.Reload(out); }
    TExtensionCounts Extensions() override { return m_commands.Extensions(); }
    bool TakeWordsChanged() override { return m_commands.TakeWordsChanged(); }
    control::TCommandWords CompletionWords() override
    {
        control::TCommandWords words = m_commands.CompletionWords();
        if (m_told && words == m_lastWords)
            return words;
        std::string encoded = control::EncodeWords(words);
        // What every console is sent when they changed.
        if (encoded != m_words)
            m_wordBytes += control::kHeaderSize + Note(encoded).size();
        m_words.swap(encoded);
        m_lastWords = words;
        m_told = true;
        return words;
    }
    const std::string& Note(const std::string& answer)
    {
        m_longest = answer.size() > m_longest ? answer.size() : m_longest;
        return answer;
    }
    std::map<std::string, std::pair<std::string, TLineOutcome>> m_answers;
    std::string m_words;         // as the last 'W' carries them
    std::size_t m_wordBytes = 0; // of every 'W' sent to every console, as frames
    std::size_t m_longest = 0;

private:
    BHostCommands& m_commands;
    control::TCommandWords m_lastWords; // as last made, once m_told
    bool m_told = false;
};

struct TRequest {
    enum TKind { kRun, kQuit, kRefused, kMalformed } kind;
    std::string line;
    bool json = false;              // a 'J': answered with the line's object
    std::size_t start = 0, end = 0; // where it is sent in all its console queued
    long long piecesFromMs = -1;    // when its first piece went, if it went in pieces
};

// Appends the frame `pick` chooses to `out`; `tag` stands for each '@'.
TRequest Request(std::uint8_t pick, const std::string& tag, std::string& out)
{
    static const char* const kLines[] = {
        "help",    "help xdll",   "xdll", "xdll -l foo", "xdll -f bar", "xdll -u foo",
        "xdll -r", "xdll -d bar", " ",    "@",           "help @",      "xdll -a @ /lib/@.so",
        "quit"};
    const unsigned kind = pick % 16;
    if (kind == 15) { // a header is enough to be refused
        const std::uint32_t length = (pick & 16) ? control::kMaxFrame + 1 : 0;
        out += (pick & 16) ? control::kLine : (pick & 32) ? '\0' : 'Q';
        for (int shift = 24; shift >= 0; shift -= 8)
            out += static_cast<char>((length >> shift) & 0xFF);
        return {TRequest::kMalformed, ""};
    }
    if (kind == 13) { // the daemon's words are not a console's to send
        control::AppendFrame(out, control::kWords, tag);
        return {TRequest::kMalformed, ""};
    }
    const bool json = (pick & 64) != 0;
    if (kind == 14) { // too long, or holding a line break or a zero byte
        const bool tooLong = (pick & 16) != 0;
        std::string line = tooLong ? std::string(control::kMaxLine + 1, 'x')
                                   : tag + ((pick & 32) ? '\n' : '\0') + "x";
        control::AppendFrame(out, json ? control::kJsonLine : control::kLine, line);
        // The daemon keeps nothing of a line past the limit: its object's
        // line is empty.
        return {TRequest::kRefused, tooLong ? std::string() : std::move(line), json};
    }
    std::string line = kLines[kind];
    for (std::size_t at; (at = line.find('@')) != std::string::npos;)
        line.replace(at, 1, tag);
    control::AppendFrame(out, json ? control::kJsonLine : control::kLine, line);
    return {kind == 12 ? TRequest::kQuit : TRequest::kRun, line, json};
}

// A line's object, read as it is parsed for the fields a console relies
// on: every JSON answer is checked, and building each whole would cost
// more than running its line.
class BJsonFields {
public:
    using TJson = nlohmann::json;

    // One object: version 1, its outcome as the frame's type says, its line
    // as it was sent, and for a refused line a refusal as its one reason.
    bool Answers(const TRequest& request, bool ok) const
    {
        if (!m_object || !m_versionOne || (m_ok >= 0 && m_ok != (ok ? 1 : 0)))
            return false;
        if (!m_lineSeen || m_line != request.line)
            return false;
        return request.kind != TRequest::kRefused ||
               (!ok && m_reasons == 1 && StartsWith(m_firstReason, kLineRefused));
    }

    // What nlohmann::json::sax_parse calls, by the names it calls them.
    bool start_object(std::size_t)
    {
        m_object = m_object || m_depth == 0;
        return Open();
    }
    bool start_array(std::size_t)
    {
        const bool reasons = Field("reasons");
        Open();
        m_inReasons = m_inReasons || reasons;
        return true;
    }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }
    bool key(std::string& name)
    {
        if (m_depth == 1)
            m_key = name;
        return true;
    }
    bool boolean(bool value) { return Value(value ? kTrue : kFalse); }
    bool number_integer(TJson::number_integer_t value)
    {
        return Value(kNumber, nullptr, value == 1);
    }
    bool number_unsigned(TJson::number_unsigned_t value)
    {
        return Value(kNumber, nullptr, value == 1);
    }
    bool string(std::string& value) { return Value(kString, &value); }
    bool null() { return Value(kOther); }
    bool number_float(TJson::number_float_t, const std::string&) { return Value(kOther); }
    bool binary(TJson::binary_t&) { return Value(kOther); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&)
    {
        return false;
    }

private:
    enum TKind { kFalse, kTrue, kNumber, kString, kOther };

    bool Field(const char* szName) const { return m_depth == 1 && m_key == szName; }
    bool Value(TKind kind, const std::string* pText = nullptr, bool one = false)
    {
        if (Field("ok")) {
            m_ok = kind <= kTrue ? kind : 2;
        } else if (Field("murox_json")) {
            m_versionOne = kind == kNumber && one;
        } else if (Field("line")) {
            m_lineSeen = kind == kString;
            m_line = m_lineSeen ? *pText : std::string();
        } else if (m_depth == 2 && m_inReasons && m_reasons++ == 0 && kind == kString) {
            m_firstReason = *pText;
        }
        return true;
    }
    bool Open()
    {
        Value(kOther); // an object or array where a field's value stands
        ++m_depth;
        return true;
    }
    bool Close()
    {
        --m_depth;
        m_inReasons = m_inReasons && m_depth > 1;
        return true;
    }

    int m_depth = 0;
    std::string m_key; // the top level's, last read
    bool m_inReasons = false;
    bool m_object = false;
    bool m_versionOne = false; // murox_json is the number 1
    int m_ok = -1;             // absent; 0 or 1 as it says; 2, neither true nor false
    bool m_lineSeen = false;   // as a string
    std::string m_line;
    std::size_t m_reasons = 0; // values in "reasons"
    std::string m_firstReason; // when a string
};

struct TConsole {
    int id = 0;
    BFd fd;
    std::size_t firstEvent = 0, eventBytesBefore = 0; // what was published before it came
    std::size_t wordBytesBefore = 0;                  // what words were sent before it came
    bool reading = true, stoppedReading = false, shut = false, ended = false, last = false;
    bool greeted = false;
    std::string words; // the last ones sent
    bool toldWords = false;
    std::string unsent; // queued, not yet taken by the socket
    std::size_t sentBytes = 0;
    std::vector<TRequest> requests;     // every one queued
    std::size_t sent = 0, answered = 0; // requests
    std::size_t answerable = SIZE_MAX;  // before a malformed one, up to a "quit"
    std::string inbox;                  // part of a frame
    std::size_t events = 0;
    // The clock's times, in ms since the input started: when the first
    // byte of the frame it sent part of went (-1: it sent whole frames),
    // when the daemon had surely begun that frame (-1: not yet sure), when a
    // turn last found it reading, and when it could first have been
    // dismissed (-1: not yet).
    long long partialSinceMs = -1, partialSeenMs = -1, drainedMs = 0, dismissableMs = -1;
    // What it could have been given a last word for, whether the time to
    // take one has passed, and whether it must have been given one.
    bool partialOverdue = false, stalled = false, farewellMissable = false, mustClose = false;

    bool SentMalformed() const
    {
        return answerable < sent && requests[answerable].kind == TRequest::kMalformed;
    }
    bool Served() const { return fd.Valid() && !ended && !last; }
};

class BHarness : public KAF::IMessageSubscriber {
public:
    BHarness(BControlSocket& unclaimed, BRecordingRunner& runner)
        : m_server(unclaimed, -1, nullptr, Limits()), m_runner(runner),
          m_greeting(std::string(control::kGreeting) + " " + std::to_string(getpid()) + " ")
    {
    }

    static TClientLimits Limits()
    {
        TClientLimits limits;
        limits.pauseAt = 2048;
        limits.maxUnsent = 4096;
        limits.hardUnsent = 16384;
        limits.stallMs = 2000;
        limits.partialFrameMs = 3000;
        limits.farewellMs = 1000;
        return limits;
    }

    // Every event, as a console receives it.
    void Inform(const KAF::BMessage& msg) override
    {
        // The record of each line run goes to the log only.
        if (std::strncmp(msg.m_text.c_str(), "line from uid ", 14) == 0)
            return;
        const std::size_t length = std::min<std::size_t>(msg.m_text.length(), control::kMaxFrame);
        m_eventText.append(msg.m_text.c_str(), length);
        m_eventEnds.push_back(m_eventText.size());
        m_eventBytes += control::kHeaderSize + length;
    }

    TConsole* Slot(std::size_t slot)
    {
        TConsole* pConsole = m_slots[slot];
        return pConsole != nullptr && pConsole->fd.Valid() ? pConsole : nullptr;
    }

    void Connect(std::size_t slot)
    {
        int fds[2];
        const TConsole* pOld = Slot(slot);
        if ((pOld != nullptr && !pOld->ended) || m_consoles.size() == kMaxConnects ||
            socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        // Small socket buffers, so that little output fills them; the
        // daemon's side takes what the events of a step come to, so that a
        // console that reads at every turn keeps up.
        const int daemonSide = 4096, consoleSide = 1;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &daemonSide, sizeof daemonSide);
        setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &consoleSide, sizeof consoleSide);
        TPeer peer;
        peer.pid = getpid();
        peer.uid = getuid();
        peer.gid = getgid();
        m_server.Attach(BFd(fds[0]), peer);
        m_consoles.emplace_back(new TConsole);
        TConsole& console = *(m_slots[slot] = m_consoles.back().get());
        console.id = static_cast<int>(m_consoles.size());
        console.fd = BFd(fds[1]);
        console.firstEvent = m_eventEnds.size();
        console.eventBytesBefore = m_eventBytes;
        console.wordBytesBefore = m_runner.m_wordBytes;
        console.drainedMs = m_nowMs;
    }

    void Queue(TConsole& console, std::uint8_t pick)
    {
        if (m_requests == kMaxRequests)
            return;
        ++m_requests;
        const std::size_t index = console.requests.size();
        const std::string tag = "c" + std::to_string(console.id) + "x" + std::to_string(index);
        const std::size_t start = console.sentBytes + console.unsent.size();
        console.requests.push_back(Request(pick, tag, console.unsent));
        TRequest& request = console.requests.back();
        request.start = start;
        // The daemon judges a frame malformed by its header alone.
        request.end = request.kind == TRequest::kMalformed
                          ? start + control::kHeaderSize
                          : console.sentBytes + console.unsent.size();
        if (console.answerable == SIZE_MAX && request.kind == TRequest::kMalformed)
            console.answerable = index;
        else if (console.answerable == SIZE_MAX && request.kind == TRequest::kQuit)
            console.answerable = index + 1;
    }

    bool Push(TConsole& console, std::size_t most)
    {
        if (!console.fd.Valid() || console.shut || console.unsent.empty())
            return false;
        const ssize_t n = send(console.fd.Get(), console.unsent.data(),
                               std::min(most, console.unsent.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            console.unsent.clear(); // the daemon closed it: found when reading
        if (n <= 0)
            return false;
        const std::size_t before = console.sentBytes;
        console.unsent.erase(0, static_cast<std::size_t>(n));
        console.sentBytes += static_cast<std::size_t>(n);
        std::vector<TRequest>& requests = console.requests;
        while (console.sent < requests.size() && requests[console.sent].end <= console.sentBytes)
            ++console.sent;
        const bool whole =
            console.sent == requests.size() || requests[console.sent].start >= console.sentBytes;
        if (whole || requests[console.sent].start >= before) {
            console.partialSinceMs = whole ? -1 : m_nowMs;
            console.partialSeenMs = -1;
        }
        if (!whole && requests[console.sent].piecesFromMs < 0)
            requests[console.sent].piecesFromMs = m_nowMs;
        return true;
    }

    bool Read(TConsole& console, std::size_t most)
    {
        bool moved = false;
        // Not on the stack, where the sanitizer would mark it at each call.
        static char s_buffer[65536];
        char* const buffer = s_buffer;
        while (console.fd.Valid() && !console.ended && most > 0) {
            const ssize_t n = recv(console.fd.Get(), buffer, std::min(most, sizeof s_buffer), 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            moved = true;
            if (n <= 0)
                Ended(console);
            else
                Take(console, buffer, static_cast<std::size_t>(n));
            most -= n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return moved;
    }

    // Reading consoles take what came, then the loop turns once.
    bool Turn()
    {
        bool moved = false;
        // Below pauseAt, the daemon reads every client in this turn, unless
        // it is the first, which queues the words before it reads.
        const bool reads = m_turned && m_server.MaxUnsent() < Limits().pauseAt;
        for (const auto& pConsole : m_consoles) {
            TConsole& console = *pConsole;
            if (console.reading) {
                moved = Read(console, SIZE_MAX) || moved;
                console.drainedMs = m_nowMs;
            }
            // With every frame before it run, the frame is begun no later
            // than the read of its first byte.
            if (reads && console.partialSinceMs >= 0 && console.partialSeenMs < 0 &&
                console.answered == console.sent && !console.shut)
                console.partialSeenMs = m_nowMs;
        }
        if (m_server.Turn(m_runner, 0) != 0)
            Broken("the loop stopped", 0);
        m_turned = true;
        if (m_server.MaxUnsent() > Limits().hardUnsent + kRecordSlack)
            Broken("unsent output passed the hard limit", 0);
        // Still below it, the daemon applied the frames' deadline.
        const bool enforced = m_server.MaxUnsent() < Limits().pauseAt;
        for (const auto& pConsole : m_consoles)
            Judge(*pConsole, enforced);
        return moved;
    }

    // Whether a step may turn the loop once more.
    bool TakeTurn()
    {
        if (m_turns == kMaxTurns)
            return false;
        ++m_turns;
        return true;
    }

    // Lets `ms` pass on the loop's clock.
    void Pass(long long ms)
    {
        m_clock.Advance(ms);
        m_nowMs += ms;
    }

    // An event published outside any line, as a reload's records are.
    void Publish(std::size_t length)
    {
        static const std::string s_text(1000, 'e');
        MuroxLogEvent("published: %.*s", static_cast<int>(std::min(length, s_text.size())),
                      s_text.c_str());
    }

    // Every console sends and reads all it has until nothing moves; then
    // each is checked.
    void Settle()
    {
        for (const auto& pConsole : m_consoles)
            pConsole->reading = true;
        for (int round = 0, idle = 0; idle < 4; ++round) {
            if (round == 100000)
                Broken("the loop never settles", 0);
            bool moved = false;
            for (const auto& pConsole : m_consoles)
                moved = Push(*pConsole, SIZE_MAX) || moved;
            idle = Turn() || moved ? 0 : idle + 1;
        }
        for (const auto& pConsole : m_consoles)
            Check(*pConsole);
    }

private:
    // What a console could have been given a last word for by now, and
    // whether the time to take one has passed.
    void Judge(TConsole& console, bool enforced)
    {
        if (!console.Served())
            return;
        const TClientLimits limits = Limits();
        for (std::size_t i = console.answered; i < console.requests.size(); ++i) {
            const long long from = console.requests[i].piecesFromMs;
            console.partialOverdue =
                console.partialOverdue || (from >= 0 && m_nowMs - from >= limits.partialFrameMs);
        }
        console.mustClose =
            console.mustClose || (enforced && console.partialSeenMs >= 0 &&
                                  m_nowMs - console.partialSeenMs >= limits.partialFrameMs);
        console.stalled = console.stalled || m_nowMs - console.drainedMs >= limits.stallMs;
        if (console.dismissableMs < 0 && (console.partialOverdue || Stalled(console)))
            console.dismissableMs = m_nowMs;
        console.farewellMissable =
            console.farewellMissable ||
            (console.dismissableMs >= 0 && m_nowMs - console.dismissableMs >= limits.farewellMs);
    }

    // Whether all that could have been queued for it is more than `limit`:
    // its own answers stop at pauseAt and one more; the rest is events.
    bool CouldPass(const TConsole& console, std::size_t limit) const
    {
        return m_eventBytes - console.eventBytesBefore + m_runner.m_wordBytes -
                   console.wordBytesBefore + Limits().pauseAt + control::kHeaderSize +
                   m_runner.m_longest + kRefusalSlack >
               limit;
    }

    // Whether it could be dropped for not reading: past the hard limit, or
    // past the soft one while a stall lasted.
    bool Stalled(const TConsole& console) const
    {
        const TClientLimits limits = Limits();
        return console.stoppedReading &&
               (CouldPass(console, limits.hardUnsent) ||
                (console.stalled && CouldPass(console, limits.maxUnsent)));
    }

    void Check(const TConsole& console) const
    {
        if (!console.fd.Valid() || console.ended)
            return;
        if (console.last || console.shut || console.SentMalformed())
            Broken("a console that is done was kept", console.id);
        if (console.mustClose)
            Broken("a frame not whole past its deadline was kept", console.id);
        if (console.answered != console.requests.size())
            Broken("a request went unanswered", console.id);
        if (console.firstEvent + console.events != m_eventEnds.size())
            Broken("an event did not reach a console", console.id);
        if (!console.toldWords || console.words != m_runner.m_words)
            Broken("a console holds other words than the daemon's", console.id);
    }

    std::string_view Event(std::size_t index) const
    {
        const std::size_t start = index == 0 ? 0 : m_eventEnds[index - 1];
        return std::string_view(m_eventText).substr(start, m_eventEnds[index] - start);
    }

    // Checks each whole frame that arrived.
    void Take(TConsole& console, const char* pData, std::size_t size)
    {
        std::string& in = console.inbox;
        in.append(pData, size);
        std::size_t at = 0;
        while (in.size() - at >= control::kHeaderSize) {
            std::uint32_t length = 0;
            for (int i = 1; i <= 4; ++i)
                length = (length << 8) | static_cast<unsigned char>(in[at + i]);
            const char type = in[at];
            const bool answer = type == control::kAnswer || type == control::kFailed;
            if (type == '\0' || std::strchr("HVAEWX", type) == nullptr ||
                (!answer && length > control::kMaxFrame))
                Broken("a frame not of the wire format", console.id);
            if (in.size() - at - control::kHeaderSize < length)
                break;
            Frame(console, type, std::string_view(in).substr(at + control::kHeaderSize, length));
            at += control::kHeaderSize + length;
        }
        in.erase(0, at);
    }

    void Frame(TConsole& console, char type, std::string_view payload)
    {
        if (console.last)
            Broken("a frame after the last word", console.id);
        if (!console.greeted || type == control::kHello) {
            if (console.greeted || type != control::kHello ||
                payload.compare(0, m_greeting.size(), m_greeting) != 0)
                Broken("not greeted once, first", console.id);
            console.greeted = true;
        } else if (type == control::kWords) {
            console.words = payload;
            console.toldWords = true;
        } else if (type == control::kEvent) {
            const std::size_t next = console.firstEvent + console.events++;
            if (next >= m_eventEnds.size() || Event(next) != payload)
                Broken("an event other than the next one published", console.id);
        } else if (type == control::kFarewell) {
            Farewell(console, payload);
        } else {
            if (!console.toldWords)
                Broken("an answer before the words", console.id);
            Answer(console, type, payload);
        }
    }

    void Farewell(TConsole& console, std::string_view payload)
    {
        if (StartsWith(payload, kNotWhole)) {
            if (!console.partialOverdue)
                Broken("a console was closed before its frame's deadline", console.id);
        } else if (!StartsWith(payload, kStalled)) {
            Broken("a last word of no known reason", console.id);
        } else if (!console.stoppedReading) {
            Broken("a console that kept reading was dropped", console.id);
        } else if (!Stalled(console)) {
            Broken("a console was dropped that could not have passed a limit", console.id);
        }
        console.last = true;
    }

    void Answer(TConsole& console, char type, std::string_view payload)
    {
        if (console.answered >= console.sent || console.answered >= console.answerable)
            Broken("an answer to nothing this console sent", console.id);
        if (console.mustClose)
            Broken("a frame not whole past its deadline was run", console.id);
        const TRequest& request = console.requests[console.answered++];
        bool right = false;
        if (request.json) {
            right = JsonAnswer(request, type, payload);
        } else if (request.kind == TRequest::kRefused) {
            right = type == control::kFailed && StartsWith(payload, kLineRefused);
        } else {
            const auto it = m_runner.m_answers.find(request.line);
            const bool failed =
                it != m_runner.m_answers.end() && it->second.second == TLineOutcome::kFailed;
            right = type == (failed ? control::kFailed : control::kAnswer) &&
                    it != m_runner.m_answers.end() && it->second.first == payload;
        }
        if (!right)
            Broken("an answer other than its request's", console.id);
        console.last = request.kind == TRequest::kQuit;
    }

    // One object on one line, read as BJsonFields says.
    static bool JsonAnswer(const TRequest& request, char type, std::string_view payload)
    {
        BJsonFields fields;
        return payload.find('\n') == payload.size() - 1 &&
               nlohmann::json::sax_parse(payload.begin(), payload.end(), &fields) &&
               fields.Answers(request, type == control::kAnswer);
    }

    void Ended(TConsole& console)
    {
        console.ended = true;
        const bool excused = console.SentMalformed() || console.farewellMissable;
        if (!excused && !console.inbox.empty())
            Broken("a frame cut short", console.id);
        if (!console.last && !excused && !(console.shut && console.answered == console.sent))
            Broken("a console was closed that was still served", console.id);
    }

    // The input's own dispatcher and clock, in place before the server,
    // which reads the clock as it is made.
    KAF::BMessageDispatcher m_dispatcher;
    const eventlog_test::TInstanceScope m_installed{&m_dispatcher};
    syscall_faults::TFrozenClock m_clock{{kStartSeconds, 0}, CLOCK_MONOTONIC};
    long long m_nowMs = 0; // since the input started
    BControlServer m_server;
    BRecordingRunner& m_runner;
    const std::string m_greeting;
    std::string m_eventText;              // every event's, one after another
    std::vector<std::size_t> m_eventEnds; // where each ends in it
    std::size_t m_eventBytes = 0;         // as frames
    std::vector<std::unique_ptr<TConsole>> m_consoles;
    TConsole* m_slots[kSlots] = {};
    std::size_t m_requests = 0; // queued by all consoles
    unsigned m_turns = 0;       // taken by steps
    bool m_turned = false;      // the server's loop, once
    const KAF::BSubscription m_toConsoles{m_dispatcher, m_server.FanOut()};
    const KAF::BSubscription m_toHarness{m_dispatcher, *this};
};

// One step of a console in `slot`: 1 to 8 requests, one request or none
// and a piece, a read, a stop or resumption of reading, the end of its
// input, or its hanging up.
void ConsoleStep(BHarness& harness, TConsole& console, unsigned what, unsigned much,
                 std::uint8_t pick)
{
    if (what == 1 && !console.shut) {
        for (unsigned i = 0; i <= much; ++i)
            harness.Queue(console, pick);
        harness.Push(console, SIZE_MAX);
    } else if (what == 2 && !console.shut) {
        if ((pick & 128) == 0)
            harness.Queue(console, pick);
        harness.Push(console, std::size_t(1) << (2 * much));
    } else if (what == 3) {
        harness.Read(console, std::size_t(1) << (2 * much));
    } else if (what == 4) {
        console.reading = (much & 1) != 0;
        console.stoppedReading = console.stoppedReading || !console.reading;
    } else if (what == 5 && !console.shut) {
        shutdown(console.fd.Get(), SHUT_WR);
        console.shut = true;
        console.unsent.clear();
    } else if (what == 6) {
        console.fd.Reset();
    }
}

// A step of the loop: with `how` 0, 1 to 8 turns; 1, a time that passes,
// then a turn; 2, an event of up to 1000 bytes published, then a turn; 3,
// 1 to 4 events of 1000 bytes, then a turn.
void LoopStep(BHarness& harness, unsigned how, unsigned much)
{
    if (how == 0) {
        for (unsigned i = 0; i <= much && harness.TakeTurn(); ++i)
            harness.Turn();
        return;
    }
    if (!harness.TakeTurn())
        return;
    if (how == 1)
        harness.Pass(kPassMs[much]);
    else if (how == 2)
        harness.Publish(std::min<std::size_t>(std::size_t(8) << much, 1000));
    else
        for (unsigned i = 0; i <= much / 2; ++i)
            harness.Publish(1000);
    harness.Turn();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Commands();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size)
{
    BRecordingRunner runner(Commands().Fresh());
    BControlSocket unclaimed;
    BHarness harness(unclaimed, runner);

    // A step: bits 0-2 what, 3-4 which console (or how the loop turns),
    // 5-7 how much.
    for (std::size_t at = 0; at < size;) {
        const unsigned step = pData[at++], what = step & 7, slot = (step >> 3) & 3,
                       much = step >> 5;
        const std::uint8_t pick = (what == 1 || what == 2) && at < size ? pData[at++] : 0;
        TConsole* pConsole = harness.Slot(slot);
        if (what == 0)
            harness.Connect(slot);
        else if (what == 7)
            LoopStep(harness, slot, much);
        else if (pConsole != nullptr)
            ConsoleStep(harness, *pConsole, what, much, pick);
    }
    harness.Settle();
    // Nothing of the input outlives it: libFuzzer then has no leak to look for.
    fake_registry::State() = fake_registry::TState();
    return 0;
}
