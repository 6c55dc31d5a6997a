// A refusal of the console's credentials (4) is told from no room or no daemon (1), for scripts.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include "host/console/BDaemonConnection.h"
#include "host/console/RemoteConsole.h"
#include "host/protocol/BFd.h"
#include "host/protocol/ControlProtocol.h"
#include "tests/support/Scratch.h"

namespace {

// A daemon in a fresh directory that sends each console one frame, then closes.
class DaemonRefusalTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_listener.Valid()); }
    void TearDown() override
    {
        if (m_server.joinable())
            m_server.join();
    }

    // The next console taken gets a frame of `type` holding `payload`.
    void Answer(char type, const std::string& payload)
    {
        if (m_server.joinable())
            m_server.join();
        std::string bytes;
        control::AppendFrame(bytes, type, payload);
        m_server = std::thread([this, bytes] {
            const BFd conn(accept(m_listener.Get(), nullptr, nullptr));
            (void)!send(conn.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        });
    }

    const testsupport::TScratchDir m_dir;
    const std::string m_path = m_dir.Path() + "/control";
    BFd m_listener = testsupport::ListenAt(m_path);
    std::thread m_server;
};

TEST_F(DaemonRefusalTest, OnlyARefusalOfTheConsolesCredentialsIsOne)
{
    std::string error;
    BDaemonConnection connection;
    Answer(control::kFarewell, std::string(control::kAccessRefused) + "uid 7 is not root\n");
    EXPECT_FALSE(connection.Connect(m_path, error));
    EXPECT_TRUE(connection.Refused());
    EXPECT_FALSE(connection.Untrusted());
    EXPECT_EQ("access refused: uid 7 is not root", error);

    Answer(control::kFarewell, "murox: no room: too many consoles (256); try again later\n");
    EXPECT_FALSE(connection.Connect(m_path, error));
    EXPECT_FALSE(connection.Refused());
    // The same words later in a farewell are no refusal.
    Answer(control::kFarewell, std::string("murox: stopping; ") + control::kAccessRefused);
    EXPECT_FALSE(connection.Connect(m_path, error));
    EXPECT_FALSE(connection.Refused());

    // A connection after a refusal is not taken for one.
    Answer(control::kFarewell, std::string(control::kAccessRefused) + "again\n");
    EXPECT_FALSE(connection.Connect(m_path, error));
    EXPECT_TRUE(connection.Refused());
    Answer(control::kHello, std::string(control::kGreeting) + " 1 1.0");
    EXPECT_TRUE(connection.Connect(m_path, error)) << error;
    EXPECT_FALSE(connection.Refused());
}

TEST_F(DaemonRefusalTest, TheConsoleExitsFourWhenRefusedAndOneWithoutRoomOrDaemon)
{
    Answer(control::kFarewell, std::string(control::kAccessRefused) + "uid 7 is not root\n");
    EXPECT_EQ(kConsoleAccessRefused, RunRemoteConsole(m_path, {"xdll"}, false));
    EXPECT_EQ(4, kConsoleAccessRefused);
    Answer(control::kFarewell, "murox: no room: too many consoles (256); try again later\n");
    EXPECT_EQ(1, RunRemoteConsole(m_path, {"xdll"}, false));
    m_server.join();
    m_listener.Reset();
    ASSERT_EQ(0, unlink(m_path.c_str()));
    BDaemonConnection connection;
    std::string error;
    EXPECT_FALSE(connection.Connect(m_path, error));
    EXPECT_FALSE(connection.Refused());
    EXPECT_EQ(1, RunRemoteConsole(m_path, {"xdll"}, false));
}

} // namespace
