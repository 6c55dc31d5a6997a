// The shell's standard output in JSON mode: the lines' objects alone.
#ifndef HOST_PROGRAM_BEVENTSASIDE_H
#define HOST_PROGRAM_BEVENTSASIDE_H

#include <cstddef>
#include <cstdio>

#include <sys/types.h>

#include "host/outputs/BStreamSwap.h"

// While installed, what is written to the C library's `stdout` (the event
// sink's records: the libraries' events at start and at exit, outside any
// line) goes to standard error instead, made visible on a terminal; while
// muted (a line runs, whose object holds its events) it is dropped. The
// objects go to Objects(), the original standard output.
class BEventsAside {
public:
    BEventsAside() : m_pObjects(stdout), m_swap(stdout, &BEventsAside::Write, this) {}
    BEventsAside(const BEventsAside&) = delete;
    BEventsAside& operator=(const BEventsAside&) = delete;

    // False, with stdout left as it was, when the C library cannot make
    // the stream.
    bool Install() { return m_swap.Install(); }
    std::FILE* Objects() const { return m_pObjects; }
    void Mute(bool muted) { m_muted = muted; }

private:
    static ssize_t Write(void* pCookie, const char* pData, std::size_t size);

    std::FILE* m_pObjects;
    bool m_muted = false;
    // Last: gone first, before what its writes use.
    BStreamSwap m_swap;
};

#endif
