// The C library's `stdout`, where the event sink writes its records, turned
// into a queue's intake: the sink's fprintf never touches a descriptor.
#ifndef HOST_SERVER_BSTDOUTCAPTURE_H
#define HOST_SERVER_BSTDOUTCAPTURE_H

#include <cstdio>

#include <sys/types.h>

class ILogOutput;

// While installed, stdout hands `output` each record in one Take, its
// newline included (the stream is unbuffered), made visible on one line
// (control::VisibleLine), at the priority the host set for it
// (CurrentLogPriority). One per process.
class BStdoutCapture {
public:
    explicit BStdoutCapture(ILogOutput& output) : m_output(output) {}
    // Puts the original stdout back.
    ~BStdoutCapture();
    BStdoutCapture(const BStdoutCapture&) = delete;
    BStdoutCapture& operator=(const BStdoutCapture&) = delete;

    // False, with stdout left as it was, when the C library cannot make
    // the stream.
    bool Install();

private:
    static ssize_t WriteRecord(void* pCookie, const char* pData, std::size_t size);

    ILogOutput& m_output;
    FILE* m_pOriginal = nullptr;
    FILE* m_pStream = nullptr;
};

#endif
