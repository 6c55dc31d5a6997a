// A command output stream that keeps every Write as a piece of its own.
#ifndef TESTS_SUPPORT_RECORDINGSTREAM_H
#define TESTS_SUPPORT_RECORDINGSTREAM_H

#include <string>
#include <vector>

#include "hostapi/ICmdStream.h"

// Thrown by the Write the stream was told to fail; `write` is its number.
struct TStreamFault {
    int write;
};

class TRecordingStream : public KAF::ICmdStream {
public:
    // Throws TStreamFault on the throwAtWrite-th Write (1-based; 0 never),
    // without recording that piece.
    explicit TRecordingStream(int throwAtWrite = 0) : m_throwAtWrite(throwAtWrite) {}

    void Write(const KAF::BString& text) override
    {
        if (++m_writes == m_throwAtWrite)
            throw TStreamFault{m_writes};
        m_pieces.emplace_back(text.c_str(), text.length());
        m_sources.push_back(&text);
    }

    std::vector<std::string> m_pieces;
    std::vector<const KAF::BString*> m_sources; // the string each piece was written from
    int m_writes = 0;                           // calls of Write, the failing one included

private:
    int m_throwAtWrite;
};

#endif
