// What murox writes to standard error, marked for the journal. Under the
// unit standard error is the journal's stream too, which would take each
// line at the unit's default level, info: a configuration that cannot be
// read, a start refused would hide among the consoles connected.
#ifndef HOST_OUTPUTS_BLINEPREFIX_H
#define HOST_OUTPUTS_BLINEPREFIX_H

#include <cstdio>
#include <string>

#include <utility>

#include <sys/types.h>

#include "host/outputs/BStreamSwap.h"

// While installed, every line written through `stream` (a reference to
// the C library's stderr, or a test's own) starts with `prefix` ("<4>" for
// warning) and goes to `fd` as the stream wrote it, unbuffered. One per
// stream.
class BLinePrefix {
public:
    BLinePrefix(FILE*& stream, int fd, std::string prefix)
        : m_fd(fd), m_prefix(std::move(prefix)), m_swap(stream, &BLinePrefix::Write, this)
    {
    }

    // False, with the stream left as it was, when the C library cannot
    // make the stream. The original is back when this object goes.
    bool Install() { return m_swap.Install(); }

private:
    static ssize_t Write(void* pCookie, const char* pData, std::size_t size);
    // Writes it all to m_fd; false when the descriptor fails.
    bool WriteAll(const char* pData, std::size_t size) const;

    int m_fd;
    std::string m_prefix;
    bool m_atLineStart = true;
    // Last: gone first, before what its writes use.
    BStreamSwap m_swap;
};

#endif
