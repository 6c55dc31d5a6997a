#include "host/server/BClientRequests.h"

#include "host/protocol/CommandWords.h"
#include "host/server/BAnswerStream.h"
#include "host/server/LineAudit.h"
#include "host/server/LineReport.h"
#include "host/server/PeerAccess.h"

namespace {

// Frames one client may run before the others get their turn.
const std::size_t kBurst = 8;

// A refused line's object: the line as it came (its text may hold a line
// break), failed for the refusal.
std::string RefusedJson(const std::string& line, const std::string& refusal)
{
    TLineReport report;
    report.line = line;
    report.answer = refusal;
    return LineReportJson(report);
}

} // namespace

void BClientRequests::Answer(BControlClient& client, ICommandRunner& runner)
{
    for (std::size_t i = 0; i < kBurst && client.MayRun(m_limits); ++i) {
        control::TFrame frame;
        const control::BFrameReader::TResult result = client.NextFrame(frame);
        if (result == control::BFrameReader::kNone)
            break;
        if (result == control::BFrameReader::kMalformed)
            client.Drop(BControlClient::TReason::kMalformed, "it sent a malformed frame");
        else if (frame.type == control::kEvents)
            ChooseEvents(client, frame.payload);
        else
            RunLine(client, frame, runner);
    }
}

void BClientRequests::ChooseEvents(BControlClient& client, const std::string& choice)
{
    if (choice != control::kOwnEvents && choice != control::kAllEvents) {
        client.Drop(BControlClient::TReason::kMalformed, "it asked for events of no known kind");
        return;
    }
    client.SetOwnEventsOnly(choice == control::kOwnEvents);
    // Said back, so that the console knows which events came before.
    client.Queue(control::kEvents, choice);
}

void BClientRequests::RunLine(BControlClient& client, const control::TFrame& frame,
                              ICommandRunner& runner)
{
    std::string& answer = m_answer;
    answer.clear();
    TLineOutcome outcome = TLineOutcome::kFailed;
    const bool json = frame.type == control::kJsonLine;
    bool refused = true;
    if (frame.oversized) {
        answer =
            "murox: line refused: longer than " + std::to_string(control::kMaxLine) + " bytes\n";
    } else if (frame.payload.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) {
        answer = "murox: line refused: it holds a line break or a zero byte\n";
    } else {
        // The events the line causes are queued as they happen, so its
        // client gets them before the answer, which is whole only now.
        refused = false;
        BAnswerStream out(answer);
        for (const std::string& record : LineAuditRecords(PeerName(client.Peer()), frame.payload))
            m_fanOut.LogOnly(record, TLogPriority::kNotice);
        m_fanOut.SetRunning(&client, &runner);
        ++m_linesRun;
        outcome =
            json ? runner.RunJsonLine(frame.payload, out) : runner.RunLine(frame.payload, out);
        m_fanOut.SetRunning(nullptr, nullptr);
        ShareWords(runner);
    }
    if (json && refused)
        answer = RefusedJson(frame.payload, answer);
    client.Queue(outcome == TLineOutcome::kFailed ? control::kFailed : control::kAnswer, answer);
    if (outcome == TLineOutcome::kLeave)
        client.Leave();
}

void BClientRequests::ShareWords(ICommandRunner& runner)
{
    if (!runner.TakeWordsChanged() && m_wordsKnown)
        return;
    std::string words = control::EncodeWords(runner.CompletionWords());
    if (m_wordsKnown && words == m_words)
        return;
    m_words.swap(words);
    m_wordsKnown = true;
    for (const auto& pClient : m_clients)
        pClient->Queue(control::kWords, m_words);
}

void BClientRequests::ShareWordsWith(BControlClient& client) const
{
    if (m_wordsKnown)
        client.Queue(control::kWords, m_words);
}
