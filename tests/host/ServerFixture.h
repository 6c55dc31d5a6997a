// What the control server's tests share: a runner that runs nothing, a
// recorder of events as the journal reads them, and a server whose clients
// are socket pairs the test reads as slowly as it likes.
#ifndef TESTS_HOST_SERVERFIXTURE_H
#define TESTS_HOST_SERVERFIXTURE_H

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "eventlog/MuroxLogEvent.h"
#include "host/outputs/ILogOutput.h"
#include "host/protocol/ControlProtocol.h"
#include "host/registry/LogPriority.h"
#include "host/server/BControlServer.h"
#include "host/server/BControlSocket.h"
#include "host/server/ICommandRunner.h"
#include "hostapi/BMessage.h"
#include "tests/support/Scratch.h"

// Runs nothing: notes each line, publishes `events` (from `failingFrom` on, as why it fails) and
// answers `answer`; a reload answers `reloadAnswer`; the registry holds `counts`.
class TScriptedRunner : public ICommandRunner {
public:
    TLineOutcome RunLine(const std::string& line, KAF::ICmdStream& out) override
    {
        lines.push_back(line);
        for (std::size_t i = 0; i < events.size(); ++i) {
            m_failing = i >= failingFrom;
            MuroxLogEvent("%s", events[i].c_str());
        }
        m_failing = false;
        out.Write(KAF::BString(answer.c_str()));
        return outcome;
    }
    void Reload(KAF::ICmdStream& out) override
    {
        ++reloads;
        out.Write(KAF::BString(reloadAnswer.c_str()));
    }
    control::TCommandWords CompletionWords() override { return {}; }
    TExtensionCounts Extensions() override { return counts; }
    bool PublishingFailure() const override { return m_failing; }

    std::vector<std::string> lines;
    std::vector<std::string> events;
    std::size_t failingFrom = 0;
    std::string answer;
    TLineOutcome outcome = TLineOutcome::kSucceeded;
    int reloads = 0;
    std::string reloadAnswer;
    TExtensionCounts counts;

private:
    bool m_failing = false;
};

// Each event as "<N>TEXT", with N the priority the host set for it when it was published.
class TPriorityRecorder : public KAF::IMessageSubscriber {
public:
    void Inform(const KAF::BMessage& msg) override
    {
        records.push_back("<" + std::to_string(static_cast<int>(CurrentLogPriority())) + ">" +
                          msg.m_text.c_str());
    }
    std::vector<std::string> records;
};

// A log output that records what it is handed, each as "<N>TEXT", and says it lost `dropped`.
class TRecordingOutput : public ILogOutput {
public:
    void Take(const char* pData, std::size_t size, TLogPriority priority) override
    {
        taken.push_back("<" + std::to_string(static_cast<int>(priority)) + ">" +
                        std::string(pData, size));
    }
    int Fd() const override { return -1; }
    bool Pending() const override { return false; }
    void Drain() override {}
    unsigned long DroppedRecords() const override { return dropped; }
    std::vector<std::string> taken;
    unsigned long dropped = 0;
};

class ServerFixture : public testing::Test {
protected:
    // Claims the socket at `path` for `group` and serves it within `m_limits`.
    void Start(const std::string& path, gid_t group)
    {
        const TClaimResult claimed = m_socket.Claim(path, group);
        ASSERT_EQ(TClaimResult::kClaimed, claimed.outcome) << claimed.error;
        m_pServer.reset(new BControlServer(m_socket, -1, nullptr, m_limits));
    }
    // A client with pid `pid` of `uid`, its end returned; `small` buffers keep what is unread in
    // the server.
    int Attach(pid_t pid = 0, bool small = false, uid_t uid = 0)
    {
        auto pair = testsupport::SocketPair(small);
        EXPECT_TRUE(pair.second.Valid());
        TPeer peer;
        peer.pid = pid;
        peer.uid = uid;
        m_pServer->Attach(std::move(pair.first), peer);
        m_peers.push_back(std::move(pair.second));
        return m_peers.back().Get();
    }
    static void Send(int fd, char type, const std::string& payload)
    {
        std::string frame;
        control::AppendFrame(frame, type, payload);
        ASSERT_EQ(static_cast<ssize_t>(frame.size()), send(fd, frame.data(), frame.size(), 0));
    }
    // Reads at most `most` bytes at `fd` into `m_read`; false once the server closed its end.
    bool Read(int fd, std::size_t most)
    {
        char buffer[65536];
        while (most > 0) {
            const ssize_t n = recv(fd, buffer, most < sizeof buffer ? most : sizeof buffer, 0);
            if (n <= 0)
                return n < 0;
            m_read[fd].append(buffer, static_cast<std::size_t>(n));
            most -= static_cast<std::size_t>(n);
        }
        return true;
    }
    // Every frame sent to `fd`, read until it is closed or sent nothing more.
    std::vector<control::TFrame> AllFrames(int fd)
    {
        for (int quiet = 0; quiet < 3;) {
            const std::size_t before = m_read[fd].size();
            if (!Read(fd, std::size_t{1} << 30))
                break;
            quiet = m_read[fd].size() == before ? quiet + 1 : 0;
            m_pServer->Turn(m_runner, 0);
        }
        control::BFrameReader reader = control::BFrameReader::FromDaemon();
        reader.Append(m_read[fd].data(), m_read[fd].size());
        std::vector<control::TFrame> frames(1);
        while (reader.Next(frames.back()) == control::BFrameReader::kFrame)
            frames.emplace_back();
        frames.pop_back();
        return frames;
    }
    // The payloads of the frames of type `type` sent to `fd`.
    std::vector<std::string> Frames(int fd, char type)
    {
        std::vector<std::string> payloads;
        for (const control::TFrame& frame : AllFrames(fd))
            if (frame.type == type)
                payloads.push_back(frame.payload);
        return payloads;
    }

    const testsupport::TScratchDir m_dir;
    TClientLimits m_limits;
    BControlSocket m_socket;
    std::unique_ptr<BControlServer> m_pServer;
    std::vector<BFd> m_peers;
    std::map<int, std::string> m_read;
    TScriptedRunner m_runner;
};

#endif
