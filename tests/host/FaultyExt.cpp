// An extension library whose init breaks the process that loads it, in the
// way FAULTY_EXT names: it throws, forks (the child returns into murox),
// exits, aborts, or hangs. Each says so first.
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <unistd.h>

#include "eventlog/MuroxLogEvent.h"
#include "murox/MuroxExt.h"

namespace {

bool Is(const char* szWay)
{
    return std::strcmp(FAULTY_EXT, szWay) == 0;
}

} // namespace

int MuroxExtInit(void)
{
    MuroxLogEvent("%s: init", FAULTY_EXT);
    if (Is("throws"))
        throw std::runtime_error("init throws on purpose");
    if (Is("forks"))
        return fork() >= 0 ? 1 : 0;
    if (Is("exits"))
        std::exit(3);
    if (Is("aborts"))
        std::abort();
    for (;;)
        pause();
}

void MuroxExtTerm(void)
{
    MuroxLogEvent("%s: term", FAULTY_EXT);
}
