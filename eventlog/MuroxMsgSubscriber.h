// The sink that writes published event messages out.
#ifndef EVENTLOG_MUROXMSGSUBSCRIBER_H
#define EVENTLOG_MUROXMSGSUBSCRIBER_H

#include <cstdint>

#include "hostapi/BMessage.h"
#include "murox/MuroxExport.h"

// Writes the text of every message it is informed of, whatever its class
// or id, as one record: the text and a newline. A message without text
// storage gives an empty line; the text is never used as a format.
//
// Standard output (the initial mode) goes through stdout's buffer and is
// not flushed here. The system log is opened for each record as "murox"
// with LOG_PID and facility LOG_DAEMON, written at LOG_ERR, and closed
// again. A record that cannot be written is lost without notice.
//
// The host subscribes the sink to the dispatcher and unsubscribes it before
// destroying it; this library never does either. No lock is taken.
class MUROX_API MuroxMsgSubscriber : public KAF::IMessageSubscriber {
public:
    MuroxMsgSubscriber();
    ~MuroxMsgSubscriber() override;

    // Choose where the following records go; either may be called at any
    // time and any number of times.
    void LogToStdout();
    void LogToSyslog();

    void Inform(const KAF::BMessage& msg) override;

private:
    int32_t m_logToSyslog; // 0: standard output; any other value: syslog
};

#endif
