// What murox writes to standard error, marked for the journal. Under the
// unit standard error is the journal's stream too, which would take each
// line at the unit's default level, info: a configuration that cannot be
// read, a start refused would hide among the consoles connected.
#ifndef HOST_SERVER_BLINEPREFIX_H
#define HOST_SERVER_BLINEPREFIX_H

#include <cstdio>
#include <string>

#include <utility>

#include <sys/types.h>

// While installed, every line written through `stream` (a reference to
// the C library's stderr, or a test's own) starts with `prefix` ("<4>" for
// warning) and goes to `fd` as the stream wrote it, unbuffered. One per
// stream.
class BLinePrefix {
public:
    BLinePrefix(FILE*& stream, int fd, std::string prefix)
        : m_stream(stream), m_fd(fd), m_prefix(std::move(prefix))
    {
    }
    // Puts the original stream back.
    ~BLinePrefix();
    BLinePrefix(const BLinePrefix&) = delete;
    BLinePrefix& operator=(const BLinePrefix&) = delete;

    // False, with the stream left as it was, when the C library cannot
    // make the stream.
    bool Install();

private:
    static ssize_t Write(void* pCookie, const char* pData, std::size_t size);
    // Writes it all to m_fd; false when the descriptor fails.
    bool WriteAll(const char* pData, std::size_t size) const;

    FILE*& m_stream;
    int m_fd;
    std::string m_prefix;
    FILE* m_pOriginal = nullptr;
    FILE* m_pOwn = nullptr;
    bool m_atLineStart = true;
};

#endif
