// The server's side of one console connection: the bytes it sent, the
// frames waiting for it, and whether and why it is on its way out.
#ifndef HOST_SERVER_BCONTROLCLIENT_H
#define HOST_SERVER_BCONTROLCLIENT_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"
#include "host/server/PeerAccess.h"

// The limits a client is held to.
struct TClientLimits {
    // Unsent bytes past which a client is not read from until it takes
    // some: a client that sends lines and never reads stalls itself.
    std::size_t pauseAt = std::size_t{64} * 1024;
    // Unsent bytes past which a client that takes nothing for stallMs is
    // dropped. Output queued while a line or a reload runs is counted only
    // afterwards, once the client had a chance to take it.
    std::size_t maxUnsent = std::size_t{1024} * 1024;
    long long stallMs = 2000;
    // Unsent bytes past which a client is dropped at once, whatever it takes.
    std::size_t hardUnsent = std::size_t{64} * 1024 * 1024;
    // Unsent bytes of all clients together past which the one furthest
    // behind is dropped, and the next, until they are within it again:
    // many slow clients that each stay within their own limits must not
    // add up to the daemon's memory.
    std::size_t totalUnsent = std::size_t{64} * 1024 * 1024;
    // How long a frame may take to arrive whole, from its first byte: a
    // peer that sends a byte now and then does not hold its place longer.
    long long partialFrameMs = 30000;
    // How long a dismissed client has to take its farewell: one that stopped
    // reading may still come back for it.
    long long farewellMs = 10000;
};

class BControlClient {
public:
    enum class TState {
        kOpen,    // its frames run
        kLeaving, // closed once what is queued for it is sent
        kClosed   // closed at the next reap
    };
    enum class TReason {
        kNone,
        kHungUp,         // it closed the connection or the connection failed
        kFinished,       // it asked to leave, or its input ended and all is answered
        kMalformed,      // it broke the framing
        kStoppedReading, // it left too much unread for too long
        kPartialFrame    // it did not send a frame whole in time
    };

    BControlClient(BFd fd, const TPeer& peer, long long nowMs);
    BControlClient(const BControlClient&) = delete;
    BControlClient& operator=(const BControlClient&) = delete;

    int Fd() const { return m_fd.Get(); }
    const TPeer& Peer() const { return m_peer; }
    TState State() const { return m_state; }
    TReason Reason() const { return m_reason; }
    // The next frame it sent, once whole (see BFrameReader::Next).
    control::BFrameReader::TResult NextFrame(control::TFrame& frame);
    // Whether it is sent only the events its own lines cause.
    bool OwnEventsOnly() const { return m_ownEventsOnly; }
    void SetOwnEventsOnly(bool own) { m_ownEventsOnly = own; }

    // Queues one frame, unless the client is leaving or closed.
    void Queue(char type, const char* pData, std::size_t length);
    void Queue(char type, const std::string& payload)
    {
        Queue(type, payload.data(), payload.size());
    }
    std::size_t Unsent() const { return m_out.size() - m_sent; }
    // The memory its queue holds, sent or not.
    std::size_t Held() const { return m_out.capacity(); }

    // Whether the loop should read from it, and whether a frame of it may
    // run now.
    bool WantsInput(const TClientLimits& limits) const;
    bool MayRun(const TClientLimits& limits) const;

    // Reads what has arrived (at most one buffer). Notes the end of its
    // input; a failure closes it.
    void Receive(long long nowMs);
    // Sends what the socket takes now; a failure closes it.
    void Flush(long long nowMs);

    // Closed once what is queued is sent.
    void Leave() { Finish(TState::kLeaving, TReason::kFinished, std::string()); }
    // Closed at once; `why` is for the log, empty for a client that hung up.
    void Drop(TReason reason, const std::string& why) { Finish(TState::kClosed, reason, why); }
    // Closed with a last word: what waits unsent behind the frame in flight
    // is cut, the farewell follows it, and the client is closed once it is
    // sent or after limits.farewellMs.
    void Dismiss(TReason reason, const std::string& why, const std::string& farewell,
                 const TClientLimits& limits, long long nowMs);

    // Applies the time and size limits; dismisses a client that broke one.
    void Enforce(const TClientLimits& limits, long long nowMs);
    // When a limit or a farewell's wait next runs out; -1 for never.
    long long DueMs(const TClientLimits& limits) const;
    // Whether it can be closed now.
    bool Finished(long long nowMs) const;
    // Whether it is sent away for breaking a rule, rather than leaving or
    // hanging up.
    bool Dropped() const;
    // Why it was dropped, as the log says it.
    const std::string& Why() const { return m_why; }
    // Whether the log was told why yet; it is told once.
    bool Reported() const { return m_reported; }
    void SetReported() { m_reported = true; }

private:
    void Finish(TState state, TReason reason, const std::string& why);
    bool HoldsPartialFrame() const;

    BFd m_fd;
    TPeer m_peer;
    control::BFrameReader m_reader = control::BFrameReader::FromConsole();
    TState m_state = TState::kOpen;
    TReason m_reason = TReason::kNone;
    bool m_inputEnded = false;
    bool m_ownEventsOnly = false;
    std::string m_out;          // frames queued for it, from a frame's start
    std::size_t m_sent = 0;     // bytes of m_out sent
    std::size_t m_frameAt = 0;  // where in m_out the frame being sent starts
    long long m_lastInputMs;    // when it last sent anything
    long long m_frameStartMs;   // when the first byte of the frame not yet taken came
    long long m_lastProgressMs; // when it last took anything, or was last within limits
    long long m_closeByMs = -1; // a dismissed client's deadline
    std::string m_why;
    bool m_reported = false;
};

// The clients served, in the order they were let in.
using TClients = std::vector<std::unique_ptr<BControlClient>>;

#endif
