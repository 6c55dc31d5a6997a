// A command output stream that keeps every Write as a piece of its own.
#ifndef TESTS_SUPPORT_RECORDINGSTREAM_H
#define TESTS_SUPPORT_RECORDINGSTREAM_H

#include <string>
#include <vector>

#include "hostapi/ICmdStream.h"
#include "tests/support/Text.h"

// Thrown by the Write the stream was told to fail; `write` is its number.
struct TStreamFault {
    int write;
};

class TRecordingStream : public KAF::ICmdStream {
public:
    // Logs each piece to the trace first, in order with other events; throws TStreamFault on the
    // throwAtWrite-th Write (1-based; 0 never), without recording that piece.
    explicit TRecordingStream(std::vector<std::string>* pTrace = nullptr, int throwAtWrite = 0)
        : m_pTrace(pTrace), m_throwAtWrite(throwAtWrite)
    {
    }

    void Write(const KAF::BString& text) override
    {
        if (m_pTrace != nullptr)
            m_pTrace->push_back("Write(" + Text(text) + ")");
        if (++m_writes == m_throwAtWrite)
            throw TStreamFault{m_writes};
        m_pieces.push_back(Text(text));
    }

    std::vector<std::string> m_pieces;
    int m_writes = 0; // calls of Write, the failing one included

private:
    std::vector<std::string>* m_pTrace;
    int m_throwAtWrite;
};

#endif
