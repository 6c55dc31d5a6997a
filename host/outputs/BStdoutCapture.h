// The C library's `stdout`, where the event sink writes its records, turned
// into a queue's intake: the sink's fprintf never touches a descriptor.
#ifndef HOST_OUTPUTS_BSTDOUTCAPTURE_H
#define HOST_OUTPUTS_BSTDOUTCAPTURE_H

#include <cstdio>

#include <sys/types.h>

#include "host/outputs/BStreamSwap.h"

class ILogOutput;

// While installed, stdout hands `output` each record in one Take, its
// newline included (the stream is unbuffered), made visible on one line
// (control::VisibleLine), at the priority the host set for it
// (CurrentLogPriority). One per process.
class BStdoutCapture {
public:
    explicit BStdoutCapture(ILogOutput& output)
        : m_output(output), m_swap(stdout, &BStdoutCapture::WriteRecord, this)
    {
    }

    // False, with stdout left as it was, when the C library cannot make
    // the stream. The original is back when this object goes.
    bool Install() { return m_swap.Install(); }

private:
    static ssize_t WriteRecord(void* pCookie, const char* pData, std::size_t size);

    ILogOutput& m_output;
    // Last: gone first, before what its writes use.
    BStreamSwap m_swap;
};

#endif
