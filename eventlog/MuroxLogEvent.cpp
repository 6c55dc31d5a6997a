#include "eventlog/MuroxLogEvent.h"

#include <cstdarg>
#include <cstdio>

#include "eventlog/MuroxMsg.h"
#include "hostapi/BMessage.h"

namespace {
const int kBufferSize = 1024;
}

void MuroxLogEvent(const char* format, ...)
{
    // vsnprintf, not vsprintf: a longer text is cut at the buffer's end
    // instead of overrunning the stack.
    char buffer[kBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);

    const MuroxMsg msg(buffer);

    KAF::BMessageDispatcher* pDispatcher = KAF::BMessageDispatcher::s_pInstance;
    if (pDispatcher == nullptr) {
        // Stored only once the constructor has returned, so that a failing
        // constructor (whose block the new-expression frees) leaves null
        // behind and the next call tries again.
        pDispatcher = new KAF::BMessageDispatcher;
        KAF::BMessageDispatcher::s_pInstance = pDispatcher;
    }
    pDispatcher->Publish(msg);
}
