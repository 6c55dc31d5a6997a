// The daemon's control server: one thread, one poll loop over the listening
// socket, a signalfd and every console connection.
#ifndef HOST_SERVER_BCONTROLSERVER_H
#define HOST_SERVER_BCONTROLSERVER_H

#include <memory>
#include <string>
#include <vector>

#include <poll.h>

#include "hostapi/BMessage.h"
#include "hostapi/ICmdStream.h"

class BControlSocket;

// What the server runs lines on: the host's interpreter and registry.
class ICommandRunner {
public:
    virtual ~ICommandRunner() = default;
    // Runs one line, writing its answer to `out`. False when the line asks
    // to leave ("quit"): the console that sent it is closed after the answer.
    virtual bool RunLine(const std::string& line, KAF::ICmdStream& out) = 0;
    // The words a console completes, as the 'W' frame carries them.
    virtual std::string CompletionWords() = 0;
};

// Serves consoles on a claimed control socket. Lines run one at a time,
// each to the end, in the order the loop takes them; nothing a console
// sends or fails to read can block the loop or reach another console.
// While it lives (the constructor subscribes it to the process's
// dispatcher, which must exist), every published event is also queued to
// every console let in, whole, between answers: the events a line causes
// reach its console before the line's answer.
class BControlServer : public KAF::IMessageSubscriber {
public:
    // Bytes a console may leave unread before it is dropped.
    static const std::size_t kMaxUnsent = 1024 * 1024;
    // Most consoles served at once; more are turned away.
    static const std::size_t kMaxConsoles = 256;

    BControlServer(BControlSocket& socket, int signalFd);
    ~BControlServer() override;
    BControlServer(const BControlServer&) = delete;
    BControlServer& operator=(const BControlServer&) = delete;

    // Serves until SIGTERM or SIGINT arrives on `signalFd` (blocked signals
    // read from a signalfd, so no handler touches the registry); SIGHUP
    // runs `reloadLine` as if a console had sent it. Returns the stopping
    // signal's number. Stops accepting before it returns.
    int Serve(ICommandRunner& runner, const std::string& reloadLine);

    // Sends every console `farewell` after what is queued for it, waits at
    // most `waitMs` for them to take it, and closes them all.
    void CloseAll(const std::string& farewell, int waitMs);

    void Inform(const KAF::BMessage& msg) override;

private:
    struct TConsole;

    void Accept();
    void Admit(int fd);
    bool HasRoom();
    // Reads and sends for each console as `pPolled` (one entry a console,
    // in order) says, then closes those that are done.
    void Service(const pollfd* pPolled);
    bool Receive(TConsole& console);
    bool RunFrames(TConsole& console, ICommandRunner& runner, std::size_t maxFrames);
    void RunRequest(TConsole& console, const std::string& line, bool oversized,
                    ICommandRunner& runner);
    void Reap();
    int HandleSignal(ICommandRunner& runner, const std::string& reloadLine);

    BControlSocket& m_socket;
    int m_signalFd;
    std::vector<std::unique_ptr<TConsole>> m_consoles;
    long long m_acceptPausedUntilMs = 0;
    std::string m_answer; // the line's answer, its storage kept from line to line
};

#endif
