#include "eventlog/MuroxMsgSubscriber.h"

#include <syslog.h>

#include <cstddef>
#include <cstdio>

#include "hostapi/BString.h"
#include "hostapi/TTraceGuard.h"

MuroxMsgSubscriber::MuroxMsgSubscriber() : m_logToSyslog(0)
{
    // The daemon may read the mode word inline: keep it right after the
    // virtual table pointer, 32 bits wide, on every target.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    static_assert(offsetof(MuroxMsgSubscriber, m_logToSyslog) == sizeof(void*),
                  "MuroxMsgSubscriber::m_logToSyslog moved");
#pragma GCC diagnostic pop
    static_assert(sizeof(m_logToSyslog) == 4, "MuroxMsgSubscriber::m_logToSyslog is 32-bit");
    static_assert(sizeof(MuroxMsgSubscriber) ==
                      (sizeof(void*) + 4 + alignof(void*) - 1) / alignof(void*) * alignof(void*),
                  "MuroxMsgSubscriber carries one field");
}

MuroxMsgSubscriber::~MuroxMsgSubscriber() {}

void MuroxMsgSubscriber::LogToStdout()
{
    m_logToSyslog = 0;
}

void MuroxMsgSubscriber::LogToSyslog()
{
    m_logToSyslog = 1;
}

void MuroxMsgSubscriber::Inform(const KAF::BMessage& msg)
{
    KAF::TTraceGuard guard;
    const char* const szText =
        msg.m_text.m_pData != nullptr ? msg.m_text.m_pData : KAF::BString::_Nullstr();
    if (m_logToSyslog != 0) {
        // Opened and closed per record: the sink holds no connection.
        openlog("murox", LOG_PID, LOG_DAEMON);
        syslog(LOG_ERR, "%s\n", szText);
        closelog();
    } else {
        std::fprintf(stdout, "%s\n", szText);
    }
}
