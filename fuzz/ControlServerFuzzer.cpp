// The control server's whole request path in process: consoles on
// socketpairs, the host's interpreter and "xdll" command over the scripted
// registry (which publishes an event for each change asked of it), and a
// loop that turns only when the input says so, never waiting. Each input
// byte is a step for one of four console slots: connect, queue requests and
// send what the socket takes, queue and send a piece, read some bytes, stop
// or resume reading, shut the sending side, hang up; or turn the loop. At
// the end every console still there reads until nothing moves. Rules:
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
//     malformed frame, once its input ended and all of it is answered, or
//     after a last word, which only a console that stopped reading and
//     could have passed the hard limit gets;
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
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "eventlog/MuroxLogEvent.h"
#include "host/commands/BHostCommands.h"
#include "host/protocol/CommandWords.h"
#include "host/server/BControlServer.h"
#include "host/server/BControlSocket.h"
#include "tests/support/FakeRegistry.h"

namespace {

const std::size_t kSlots = 4;
const std::size_t kMaxConnects = 8;
const std::size_t kRecordSlack = 2048; // a turn's last records, two a console at most
const std::size_t kRefusalSlack = 128; // the longest answer not from the interpreter

[[noreturn]] void Broken(const char* szRule, int console)
{
    std::fprintf(stderr, "control server broke a rule: %s (console %d)\n", szRule, console);
    std::abort();
}

// The registry's changes are events, as the daemon's registry makes them.
void PublishChange(const std::string& call)
{
    if (call.compare(0, 6, "Exist(") != 0 && call.compare(0, 3, "Num") != 0 &&
        call.compare(0, 10, "ExtAgentAt") != 0)
        MuroxLogEvent("registry: %s", call.c_str());
}

class BCapture : public KAF::ICmdStream {
public:
    void Write(const KAF::BString& text) override { m_text.append(text.c_str(), text.length()); }
    std::string m_text;
};

// The host's commands, remembering what each line answered.
class BRecordingRunner : public ICommandRunner {
public:
    explicit BRecordingRunner(KAF::BFileNV& store) : m_commands(store) {}
    TLineOutcome RunLine(const std::string& line, KAF::ICmdStream& out) override
    {
        BCapture answer;
        const TLineOutcome outcome = m_commands.RunLine(line, answer);
        const auto recorded = m_answers.emplace(line, std::make_pair(answer.m_text, outcome));
        if (recorded.first->second != std::make_pair(answer.m_text, outcome))
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
        const control::TCommandWords words = m_commands.CompletionWords();
        std::string encoded = control::EncodeWords(words);
        // What every console is sent when they changed.
        if (encoded != m_words)
            m_wordBytes += control::kHeaderSize + Note(encoded).size();
        m_words.swap(encoded);
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
    BHostCommands m_commands;
};

struct TRequest {
    enum TKind { kRun, kQuit, kRefused, kMalformed } kind;
    std::string line;
    bool json = false;   // a 'J': answered with the line's object
    std::size_t end = 0; // where it is sent in all its console queued
};

// Appends the frame `pick` chooses to `out`; `tag` stands for each '@'.
TRequest Request(std::uint8_t pick, const std::string& tag, std::string& out)
{
    static const char* const s_lines[] = {
        "help",    "help xdll",   "xdll", "xdll -l foo", "xdll -f bar", "xdll -u foo",
        "xdll -r", "xdll -d bar", " ",    "@",           "help @",      "xdll -a @ /lib/@.so",
        "quit"};
    const unsigned kind = pick % 16;
    if (kind == 15) { // a header is enough to be refused
        const std::uint32_t length = (pick & 16) ? control::kMaxFrame + 1 : 0;
        out += (pick & 16) ? control::kLine : 'Q';
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
        control::AppendFrame(out, json ? control::kJsonLine : control::kLine,
                             (pick & 16) ? std::string(control::kMaxLine + 1, 'x')
                                         : tag + ((pick & 32) ? '\n' : '\0') + "x");
        return {TRequest::kRefused, "", json};
    }
    std::string line = s_lines[kind];
    for (std::size_t at; (at = line.find('@')) != std::string::npos;)
        line.replace(at, 1, tag);
    control::AppendFrame(out, json ? control::kJsonLine : control::kLine, line);
    return {kind == 12 ? TRequest::kQuit : TRequest::kRun, line, json};
}

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

    bool SentMalformed() const
    {
        return answerable < sent && requests[answerable].kind == TRequest::kMalformed;
    }
};

class BHarness : public KAF::IMessageSubscriber {
public:
    BHarness(BControlSocket& unclaimed, BRecordingRunner& runner)
        : m_server(unclaimed, -1, nullptr, Limits()), m_runner(runner),
          m_greeting(std::string(control::kGreeting) + " " + std::to_string(getpid()) + " ")
    {
        KAF::BMessageDispatcher::s_pInstance->Subscribe(&m_server.FanOut());
        KAF::BMessageDispatcher::s_pInstance->Subscribe(this);
    }
    ~BHarness() override
    {
        KAF::BMessageDispatcher::s_pInstance->Unsubscribe(this);
        KAF::BMessageDispatcher::s_pInstance->Unsubscribe(&m_server.FanOut());
    }

    static TClientLimits Limits()
    {
        TClientLimits limits;
        limits.pauseAt = 2048;
        limits.maxUnsent = 4096;
        limits.hardUnsent = 16384;
        limits.stallMs = limits.partialFrameMs = limits.farewellMs = 1LL << 40; // never
        return limits;
    }

    // Every event, as a console receives it.
    void Inform(const KAF::BMessage& msg) override
    {
        // The record of each line run goes to the log only.
        if (std::strncmp(msg.m_text.c_str(), "line from uid ", 14) == 0)
            return;
        const std::size_t length = std::min<std::size_t>(msg.m_text.length(), control::kMaxFrame);
        m_events.emplace_back(msg.m_text.c_str(), length);
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
        // Small socket buffers, so that little output fills them.
        const int daemonSide = 4096, consoleSide = 1;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &daemonSide, sizeof daemonSide);
        setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &consoleSide, sizeof consoleSide);
        m_server.Attach(BFd(fds[0]), TPeer{getpid(), getuid(), getgid(), {}, {}});
        m_consoles.emplace_back(new TConsole);
        TConsole& console = *(m_slots[slot] = m_consoles.back().get());
        console.id = static_cast<int>(m_consoles.size());
        console.fd = BFd(fds[1]);
        console.firstEvent = m_events.size();
        console.eventBytesBefore = m_eventBytes;
        console.wordBytesBefore = m_runner.m_wordBytes;
    }

    void Queue(TConsole& console, std::uint8_t pick)
    {
        const std::size_t index = console.requests.size();
        const std::string tag = "c" + std::to_string(console.id) + "x" + std::to_string(index);
        const std::size_t start = console.sentBytes + console.unsent.size();
        console.requests.push_back(Request(pick, tag, console.unsent));
        const TRequest::TKind kind = console.requests.back().kind;
        // The daemon judges a frame malformed by its header alone.
        console.requests.back().end = kind == TRequest::kMalformed
                                          ? start + control::kHeaderSize
                                          : console.sentBytes + console.unsent.size();
        if (console.answerable == SIZE_MAX && kind == TRequest::kMalformed)
            console.answerable = index;
        else if (console.answerable == SIZE_MAX && kind == TRequest::kQuit)
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
        console.unsent.erase(0, static_cast<std::size_t>(n));
        console.sentBytes += static_cast<std::size_t>(n);
        while (console.sent < console.requests.size() &&
               console.requests[console.sent].end <= console.sentBytes)
            ++console.sent;
        return true;
    }

    bool Read(TConsole& console, std::size_t most)
    {
        bool moved = false;
        char buffer[65536];
        while (console.fd.Valid() && !console.ended && most > 0) {
            const ssize_t n = recv(console.fd.Get(), buffer, std::min(most, sizeof buffer), 0);
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
        for (const auto& pConsole : m_consoles)
            moved = (pConsole->reading && Read(*pConsole, SIZE_MAX)) || moved;
        if (m_server.Turn(m_runner, 0) != 0)
            Broken("the loop stopped", 0);
        if (m_server.MaxUnsent() > Limits().hardUnsent + kRecordSlack)
            Broken("unsent output passed the hard limit", 0);
        return moved;
    }

    // Every console reads and sends all it has until nothing moves.
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
        for (const auto& pConsole : m_consoles) {
            const TConsole& console = *pConsole;
            if (!console.fd.Valid() || console.ended)
                continue;
            if (console.last || console.shut || console.SentMalformed())
                Broken("a console that is done was kept", console.id);
            if (console.answered != console.requests.size())
                Broken("a request went unanswered", console.id);
            if (console.firstEvent + console.events != m_events.size())
                Broken("an event did not reach a console", console.id);
            if (!console.toldWords || console.words != m_runner.m_words)
                Broken("a console holds other words than the daemon's", console.id);
        }
    }

private:
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
            if (std::string("HVAEWX").find(type) == std::string::npos ||
                (!answer && length > control::kMaxFrame))
                Broken("a frame not of the wire format", console.id);
            if (in.size() - at - control::kHeaderSize < length)
                break;
            Frame(console, type, in.substr(at + control::kHeaderSize, length));
            at += control::kHeaderSize + length;
        }
        in.erase(0, at);
    }

    void Frame(TConsole& console, char type, const std::string& payload)
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
            if (next >= m_events.size() || m_events[next] != payload)
                Broken("an event other than the next one published", console.id);
        } else if (type == control::kFarewell) {
            Farewell(console);
        } else {
            if (!console.toldWords)
                Broken("an answer before the words", console.id);
            Answer(console, type, payload);
        }
    }

    void Farewell(TConsole& console)
    {
        if (!console.stoppedReading)
            Broken("a console that kept reading was dropped", console.id);
        // Its own answers stop at pauseAt and one more; the rest is events.
        const TClientLimits limits = Limits();
        if (m_eventBytes - console.eventBytesBefore + m_runner.m_wordBytes -
                console.wordBytesBefore + limits.pauseAt + control::kHeaderSize +
                m_runner.m_longest + kRefusalSlack <=
            limits.hardUnsent)
            Broken("a console was dropped that could not have passed the hard limit", console.id);
        console.last = true;
    }

    void Answer(TConsole& console, char type, const std::string& payload)
    {
        if (console.answered >= console.sent || console.answered >= console.answerable)
            Broken("an answer to nothing this console sent", console.id);
        const TRequest& request = console.requests[console.answered++];
        bool right = false;
        if (request.json) {
            right = JsonAnswer(request, type, payload);
        } else if (request.kind == TRequest::kRefused) {
            right =
                type == control::kFailed && payload.compare(0, 21, "murox: line refused: ") == 0;
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

    // One object on one line: its line, its outcome as the frame's type
    // says, a refusal among its reasons.
    static bool JsonAnswer(const TRequest& request, char type, const std::string& payload)
    {
        const nlohmann::json object = nlohmann::json::parse(payload, nullptr, false);
        if (!object.is_object() || payload.find('\n') != payload.size() - 1 ||
            object.value("murox_json", 0) != 1 ||
            object.value("ok", type == control::kAnswer) != (type == control::kAnswer))
            return false;
        if (request.kind != TRequest::kRefused)
            return object.value("line", std::string()) == request.line;
        const nlohmann::json reasons = object.value("reasons", nlohmann::json::array());
        return type == control::kFailed && reasons.size() == 1 &&
               reasons[0].get<std::string>().compare(0, 21, "murox: line refused: ") == 0;
    }

    void Ended(TConsole& console)
    {
        console.ended = true;
        const bool malformed = console.SentMalformed();
        if (!malformed && !console.inbox.empty())
            Broken("a frame cut short", console.id);
        if (!console.last && !malformed && !(console.shut && console.answered == console.sent))
            Broken("a console was closed that was still served", console.id);
    }

    BControlServer m_server;
    BRecordingRunner& m_runner;
    const std::string m_greeting;
    std::vector<std::string> m_events;
    std::size_t m_eventBytes = 0; // as frames
    std::vector<std::unique_ptr<TConsole>> m_consoles;
    TConsole* m_slots[kSlots] = {};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size)
{
    KAF::BFileNV store("/nonexistent/murox-fuzz.conf");
    fake_registry::Reset(&store);
    fake_registry::TState& script = fake_registry::State();
    script.records = {ExtAgent{"foo", "/lib/foo.so", "", 1, 0, 1},
                      ExtAgent{"bar", "/lib/bar.so", "/web/bar", 0, 3, 0}};
    script.known = {"foo", "bar"};
    script.pOnCall = PublishChange;
    BRecordingRunner runner(store);
    BControlSocket unclaimed;
    BHarness harness(unclaimed, runner);

    // A step: bits 0-2 what, 3-4 which console, 5-7 how much.
    for (std::size_t at = 0; at < size;) {
        const unsigned step = pData[at++], what = step & 7, slot = (step >> 3) & 3,
                       much = step >> 5;
        const std::uint8_t pick = (what == 1 || what == 2) && at < size ? pData[at++] : 0;
        TConsole* pConsole = harness.Slot(slot);
        if (what == 0)
            harness.Connect(slot);
        else if (what == 7)
            for (unsigned i = 0; i <= much; ++i)
                harness.Turn();
        if (pConsole == nullptr)
            continue;
        if (what == 1 && !pConsole->shut) { // 1 to 128 of a request
            for (unsigned i = 0; i < 1u << much; ++i)
                harness.Queue(*pConsole, pick);
            harness.Push(*pConsole, SIZE_MAX);
        } else if (what == 2 && !pConsole->shut) { // a request, unless pick says not, then a piece
            if ((pick & 128) == 0)
                harness.Queue(*pConsole, pick);
            harness.Push(*pConsole, std::size_t(1) << (2 * much));
        } else if (what == 3) {
            harness.Read(*pConsole, std::size_t(1) << (2 * much));
        } else if (what == 4) {
            pConsole->reading = (much & 1) != 0;
            pConsole->stoppedReading = pConsole->stoppedReading || !pConsole->reading;
        } else if (what == 5 && !pConsole->shut) {
            shutdown(pConsole->fd.Get(), SHUT_WR);
            pConsole->shut = true;
            pConsole->unsent.clear();
        } else if (what == 6) {
            pConsole->fd.Reset();
        }
    }
    harness.Settle();
    // Nothing of the input outlives it: libFuzzer then has no leak to look for.
    script = fake_registry::TState();
    return 0;
}
