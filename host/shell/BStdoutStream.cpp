#include "host/shell/BStdoutStream.h"

#include <cstdio>
#include <cstring>

void BStdoutStream::Flush()
{
    std::fflush(stdout);
}

void BStdoutStream::Write(const KAF::BString& text)
{
    std::fwrite(text.c_str(), 1, text.length(), stdout);
    if (std::memchr(text.c_str(), '\n', text.length()) != nullptr)
        std::fflush(stdout);
}
