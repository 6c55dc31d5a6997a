// A subscriber that records each event as the journal would read it,
// "<N>TEXT", with N the priority the host set for it when it was published.
#ifndef TESTS_HOST_TPRIORITYRECORDER_H
#define TESTS_HOST_TPRIORITYRECORDER_H

#include <string>
#include <vector>

#include "host/registry/LogPriority.h"
#include "hostapi/BMessage.h"

class TPriorityRecorder : public KAF::IMessageSubscriber {
public:
    void Inform(const KAF::BMessage& msg) override
    {
        records.push_back("<" + std::to_string(static_cast<int>(CurrentLogPriority())) + ">" +
                          msg.m_text.c_str());
    }
    std::vector<std::string> records;
};

#endif
