#include "host/server/BControlClient.h"

#include <cerrno>

#include <sys/socket.h>

namespace {

// Where the frame that starts at `start` of `out` ends.
std::size_t FrameEnd(const std::string& out, std::size_t start)
{
    return start + control::kHeaderSize + control::PayloadLength(out.data() + start);
}

// Sent frames are dropped from the front once they add up to this much.
const std::size_t kCompactAt = std::size_t{64} * 1024;

} // namespace

BControlClient::BControlClient(BFd fd, const TPeer& peer, long long nowMs)
    : m_fd(std::move(fd)), m_peer(peer), m_lastInputMs(nowMs), m_frameStartMs(nowMs),
      m_lastProgressMs(nowMs)
{
}

control::BFrameReader::TResult BControlClient::NextFrame(control::TFrame& frame)
{
    const control::BFrameReader::TResult result = m_reader.Next(frame);
    // What follows the frame taken came in the last read or before it.
    if (result == control::BFrameReader::kFrame)
        m_frameStartMs = m_lastInputMs;
    return result;
}

void BControlClient::Queue(char type, const char* pData, std::size_t length)
{
    if (m_state == TState::kOpen)
        control::AppendFrame(m_out, type, pData, length);
}

bool BControlClient::WantsInput(const TClientLimits& limits) const
{
    return m_state == TState::kOpen && !m_inputEnded && Unsent() < limits.pauseAt &&
           m_reader.Buffered() < control::kHeaderSize + control::kMaxFrame;
}

bool BControlClient::MayRun(const TClientLimits& limits) const
{
    return m_state == TState::kOpen && Unsent() < limits.pauseAt && m_reader.Ready();
}

void BControlClient::Receive(long long nowMs)
{
    char buffer[16384];
    const ssize_t n = recv(Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        if (m_reader.Buffered() == 0)
            m_frameStartMs = nowMs;
        m_reader.Append(buffer, static_cast<std::size_t>(n));
        m_lastInputMs = nowMs;
    } else if (n == 0) {
        m_inputEnded = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        Drop(TReason::kHungUp, std::string());
    }
}

void BControlClient::Flush(long long nowMs)
{
    while (m_state != TState::kClosed && Unsent() > 0) {
        const ssize_t n = send(Fd(), m_out.data() + m_sent, Unsent(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_sent += static_cast<std::size_t>(n);
            m_lastProgressMs = nowMs;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                Drop(TReason::kHungUp, std::string());
            break;
        }
    }
    while (m_frameAt < m_out.size() && FrameEnd(m_out, m_frameAt) <= m_sent)
        m_frameAt = FrameEnd(m_out, m_frameAt);
    if (m_sent == m_out.size()) {
        // A queue that grew for a burst gives its memory back once sent.
        if (m_out.capacity() > kCompactAt)
            std::string().swap(m_out);
        m_out.clear();
        m_sent = m_frameAt = 0;
    } else if (m_frameAt >= kCompactAt) {
        m_out.erase(0, m_frameAt);
        m_sent -= m_frameAt;
        m_frameAt = 0;
        if (m_out.capacity() > 2 * m_out.size() + kCompactAt)
            m_out.shrink_to_fit();
    }
}

void BControlClient::Finish(TState state, TReason reason, const std::string& why)
{
    if (m_state == TState::kClosed)
        return;
    m_state = state;
    m_reason = reason;
    m_why = why;
}

void BControlClient::Dismiss(TReason reason, const std::string& why, const std::string& farewell,
                             const TClientLimits& limits, long long nowMs)
{
    if (m_state == TState::kClosed)
        return;
    m_out.resize(m_sent > m_frameAt ? FrameEnd(m_out, m_frameAt) : m_frameAt);
    control::AppendFrame(m_out, control::kFarewell, farewell);
    // What was cut is given back.
    m_out.shrink_to_fit();
    Finish(TState::kLeaving, reason, why);
    m_closeByMs = nowMs + limits.farewellMs;
}

bool BControlClient::HoldsPartialFrame() const
{
    return m_reader.Buffered() > 0 && !m_reader.Ready();
}

void BControlClient::Enforce(const TClientLimits& limits, long long nowMs)
{
    if (m_state == TState::kClosed || m_closeByMs >= 0)
        return;
    const std::size_t unsent = Unsent();
    if (unsent <= limits.maxUnsent)
        m_lastProgressMs = nowMs;
    if (unsent > limits.hardUnsent || nowMs - m_lastProgressMs >= limits.stallMs) {
        Dismiss(TReason::kStoppedReading,
                "it stopped reading: " + std::to_string(unsent) + " bytes unread",
                "murox: dropped: this console stopped reading and " + std::to_string(unsent) +
                    " bytes waited for it\n",
                limits, nowMs);
    } else if (WantsInput(limits) && HoldsPartialFrame() &&
               nowMs - m_frameStartMs >= limits.partialFrameMs) {
        const std::string time = std::to_string(limits.partialFrameMs / 1000) + " s";
        Dismiss(TReason::kPartialFrame, "it did not send a frame whole within " + time,
                "murox: closed: a frame not whole " + time + " after its first byte\n", limits,
                nowMs);
    }
}

long long BControlClient::DueMs(const TClientLimits& limits) const
{
    if (m_state == TState::kClosed)
        return -1;
    if (m_closeByMs >= 0)
        return m_closeByMs;
    long long due = -1;
    if (Unsent() > limits.maxUnsent)
        due = m_lastProgressMs + limits.stallMs;
    if (WantsInput(limits) && HoldsPartialFrame()) {
        const long long partialDue = m_frameStartMs + limits.partialFrameMs;
        due = due < 0 || partialDue < due ? partialDue : due;
    }
    return due;
}

bool BControlClient::Dropped() const
{
    switch (m_reason) {
    case TReason::kMalformed:
    case TReason::kStoppedReading:
    case TReason::kPartialFrame:
        return true;
    case TReason::kNone:
    case TReason::kHungUp:
    case TReason::kFinished:
        return false;
    }
    return false;
}

bool BControlClient::Finished(long long nowMs) const
{
    switch (m_state) {
    case TState::kClosed:
        return true;
    case TState::kLeaving:
        return Unsent() == 0 || (m_closeByMs >= 0 && nowMs >= m_closeByMs);
    case TState::kOpen:
        return m_inputEnded && !m_reader.Ready() && Unsent() == 0;
    }
    return true;
}
