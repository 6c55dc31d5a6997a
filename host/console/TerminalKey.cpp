#include "host/console/TerminalKey.h"

#include <cerrno>
#include <cstdio>
#include <cwchar>

#include <unistd.h>

int ReadTerminalKey(int fd)
{
    std::mbstate_t state{};
    for (;;) {
        char byte = 0;
        const ssize_t count = read(fd, &byte, 1);
        if (count < 0 && errno == EINTR)
            continue;
        if (count != 1)
            return EOF;
        wchar_t character = 0;
        const std::size_t used = std::mbrtowc(&character, &byte, 1, &state);
        if (used == static_cast<std::size_t>(-2))
            continue;
        if (used == static_cast<std::size_t>(-1))
            return static_cast<unsigned char>(byte);
        return static_cast<int>(character);
    }
}
