#include "hostapi/BMessage.h"

namespace KAF {

BMessage::~BMessage()
{
    m_text.Release();
}

IMessageSubscriber::~IMessageSubscriber() = default;

} // namespace KAF
