// A C library stream stood in for by one whose writes go to a function of
// the host's, so that what the library or murox prints through it is
// taken whole and passed on (BStdoutCapture, BLinePrefix).
#ifndef HOST_OUTPUTS_BSTREAMSWAP_H
#define HOST_OUTPUTS_BSTREAMSWAP_H

#include <cstdio>

#include <sys/types.h>

// While installed, `stream` (a reference to stdout, stderr or a test's own)
// is an unbuffered stream whose every write is one call of `write` with
// `pCookie`. One per stream.
class BStreamSwap {
public:
    using TWrite = ssize_t (*)(void* pCookie, const char* pData, std::size_t size);

    BStreamSwap(FILE*& stream, TWrite write, void* pCookie)
        : m_stream(stream), m_write(write), m_pCookie(pCookie)
    {
    }
    // Puts the original stream back.
    ~BStreamSwap();
    BStreamSwap(const BStreamSwap&) = delete;
    BStreamSwap& operator=(const BStreamSwap&) = delete;

    // False, with the stream left as it was, when the C library cannot
    // make the stream.
    bool Install();

private:
    FILE*& m_stream;
    TWrite m_write;
    void* m_pCookie;
    FILE* m_pOriginal = nullptr;
    FILE* m_pOwn = nullptr;
};

#endif
