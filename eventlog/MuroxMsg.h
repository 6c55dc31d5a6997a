// The event message that MuroxLogEvent publishes.
#ifndef EVENTLOG_MUROXMSG_H
#define EVENTLOG_MUROXMSG_H

#include <cstdint>

#include "hostapi/BMessage.h"
#include "hostapi/BString.h"

// A framework message with id kMsgId whose text is a copy of the event
// text. Defined entirely here, inline: the library exports nothing of it,
// and a subscriber sees it only as a KAF::BMessage.
class MuroxMsg : public KAF::BMessage {
public:
    static constexpr int32_t kMsgId = 101;

    // Copies `text` up to its zero byte (a null text gives the empty text);
    // `text` is not referenced afterwards. An allocator exception leaves
    // the constructor with the partly built text released.
    explicit MuroxMsg(const char* text) : KAF::BMessage(kMsgId)
    {
        m_text.Assign(text != nullptr ? text : "", KAF::BString::Strlen(text));
    }

    // The base releases the text.
    ~MuroxMsg() override {}

    MuroxMsg(const MuroxMsg&) = delete;
    MuroxMsg& operator=(const MuroxMsg&) = delete;
};

#endif
