// What a client's frames ask of the daemon: lines to run, which events it
// is sent; and the words a console completes, sent to every client after
// the greeting and again whenever a line or a reload changed them.
#ifndef HOST_SERVER_BCLIENTREQUESTS_H
#define HOST_SERVER_BCLIENTREQUESTS_H

#include <string>

#include "host/protocol/ControlProtocol.h"
#include "host/server/BControlClient.h"
#include "host/server/BEventFanOut.h"
#include "host/server/ICommandRunner.h"

class BClientRequests {
public:
    BClientRequests(const TClients& clients, const TClientLimits& limits, BEventFanOut& fanOut)
        : m_clients(clients), m_limits(limits), m_fanOut(fanOut)
    {
    }
    BClientRequests(const BClientRequests&) = delete;
    BClientRequests& operator=(const BClientRequests&) = delete;

    // Answers the frames the client has sent, a few at most, so that the
    // others get their turn; stops early when the client may not run more.
    // A malformed frame drops the client.
    void Answer(BControlClient& client, ICommandRunner& runner);
    // Sends every client the runner's words if they changed since they
    // were last sent, or were never taken.
    void ShareWords(ICommandRunner& runner);
    bool WordsShared() const { return m_wordsKnown; }
    // Lines run so far: what may have changed the registry.
    unsigned long LinesRun() const { return m_linesRun; }
    // Queues the words last shared, if any, to a client just let in.
    void ShareWordsWith(BControlClient& client) const;

private:
    // Runs a line and queues its answer, after the events it caused; a
    // line too long, or holding a line break or a zero byte, is refused
    // unrun.
    void RunLine(BControlClient& client, const control::TFrame& frame, ICommandRunner& runner);
    void ChooseEvents(BControlClient& client, const std::string& choice);

    const TClients& m_clients;
    const TClientLimits& m_limits;
    BEventFanOut& m_fanOut;
    std::string m_answer; // the line's answer, its storage kept from line to line
    std::string m_words;  // the words last shared, as a 'W' payload
    bool m_wordsKnown = false;
    unsigned long m_linesRun = 0;
};

#endif
