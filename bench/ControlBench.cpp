// Round trips through the daemon's control socket. BM_ControlLine sends
// "xdll" to a real `murox --daemon` on the default configuration and reads
// its listing; its floor, BM_EchoFloor, does the same exchange (the same
// request, an answer of the same length) with a server that only echoes,
// over the same kind of socket and with the same one-thread poll loop.
// Both run with 1 and with 64 consoles at once; the time is per line.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/console/BDaemonConnection.h"
#include "host/protocol/ControlProtocol.h"

namespace {

std::string s_daemonPath; // the daemon's socket
std::string s_echoPath;   // the echo server's
std::size_t s_answerLength = 0;

// Sends "xdll" and returns its answer's length, or -1; events are skipped.
long RoundTrip(BDaemonConnection& connection)
{
    std::string error;
    if (!connection.Send(control::kLine, "xdll", error))
        return -1;
    control::TFrame frame;
    long length = 0;
    while (connection.Receive(frame, error, BDaemonConnection::TClock::time_point::max()) ==
           BDaemonConnection::kReceived) {
        if (frame.type != control::kAnswer)
            continue;
        // The console takes an answer in the pieces it arrives in.
        length += static_cast<long>(frame.payload.size());
        if (!frame.more)
            return length;
    }
    return -1;
}

// The floor's server: greets, then answers every whole request frame with
// an answer frame of the listing's length. One thread, one poll loop.
[[noreturn]] void ServeEcho(int listenFd, std::size_t answerLength)
{
    std::string answer, hello;
    control::AppendFrame(answer, control::kAnswer, std::string(answerLength, 'x'));
    control::AppendFrame(hello, control::kHello, std::string(control::kGreeting) + " 0");
    struct TPeer {
        int fd;
        control::BFrameReader reader;
    };
    std::vector<TPeer> peers;
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(1, {listenFd, POLLIN, 0});
        for (const TPeer& peer : peers)
            fds.push_back({peer.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        // Only the peers polled are looked at; one accepted now waits.
        for (std::size_t i = fds.size() - 1; i-- > 0;) {
            if (!(fds[i + 1].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[65536];
            const ssize_t n = recv(peers[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                close(peers[i].fd);
                peers.erase(peers.begin() + static_cast<long>(i));
                continue;
            }
            peers[i].reader.Append(buffer, static_cast<std::size_t>(n));
            control::TFrame request;
            while (peers[i].reader.Next(request) == control::BFrameReader::kFrame)
                send(peers[i].fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0 && send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) > 0)
                peers.push_back({fd, control::BFrameReader::FromConsole()});
        }
    }
}

void Exchange(benchmark::State& state, const std::string& path)
{
    BDaemonConnection console;
    std::string error;
    if (!console.Connect(path, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        if (RoundTrip(console) != static_cast<long>(s_answerLength)) {
            state.SkipWithError("wrong answer");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ControlLine(benchmark::State& state)
{
    Exchange(state, s_daemonPath);
}
BENCHMARK(BM_ControlLine)->UseRealTime()->Threads(1)->Threads(64);

void BM_EchoFloor(benchmark::State& state)
{
    Exchange(state, s_echoPath);
}
BENCHMARK(BM_EchoFloor)->UseRealTime()->Threads(1)->Threads(64);

pid_t Spawn(const std::vector<std::string>& args)
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) != nullptr)
            execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool AwaitDaemon()
{
    for (int i = 0; i < 500; ++i) {
        BDaemonConnection console;
        std::string error;
        if (console.Connect(s_daemonPath, error)) {
            const long length = RoundTrip(console);
            s_answerLength = length > 0 ? static_cast<std::size_t>(length) : 0;
            return length > 0;
        }
        usleep(20000);
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    char dir[] = "/tmp/murox-control-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("murox_control_bench: mkdtemp");
        return 1;
    }
    s_daemonPath = std::string(dir) + "/run/murox.ctl";
    s_echoPath = std::string(dir) + "/echo.ctl";
    const pid_t daemon = Spawn(
        {MUROX_PROGRAM, "--daemon", "--config", MUROX_DEFAULT_CONFIG, "--socket", s_daemonPath});
    int status = 1;
    if (AwaitDaemon()) {
        sockaddr_un address;
        const int listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (control::SocketAddress(s_echoPath, address) &&
            bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            listen(listenFd, 128) == 0) {
            const pid_t echo = fork();
            if (echo == 0)
                ServeEcho(listenFd, s_answerLength);
            close(listenFd);
            benchmark::Initialize(&argc, argv);
            benchmark::AddCustomContext("answer bytes", std::to_string(s_answerLength));
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
            kill(echo, SIGKILL);
            waitpid(echo, nullptr, 0);
            status = 0;
        }
    } else {
        std::fprintf(stderr, "murox_control_bench: the daemon did not answer at %s\n",
                     s_daemonPath.c_str());
    }
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    unlink(s_echoPath.c_str());
    rmdir((std::string(dir) + "/run").c_str());
    rmdir(dir);
    return status;
}
