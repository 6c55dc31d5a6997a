// The registry's ELF reader on any bytes, as root reads any file a path
// names before loading it: it must answer, within the file, whatever the
// file says of its own offsets, sizes and counts, and what it answers must
// hold together. The bytes are written to a file of its own, as the reader
// reads a descriptor.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "host/registry/ExtElf.h"

namespace {

FILE* File()
{
    static FILE* s_pFile = std::tmpfile();
    if (s_pFile == nullptr)
        std::abort();
    return s_pFile;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int fd = fileno(File());
    if (ftruncate(fd, 0) != 0 ||
        (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        std::abort();
    const std::vector<std::string> names = {"MuroxExtInit", "MuroxExtTerm"};
    TElfFacts facts;
    const std::string why = ReadElfFacts(fd, size, names, facts);
    // Every name and run path is a string of the file; the answer covers
    // each name asked about.
    for (const auto* pStrings : {&facts.needed, &facts.runPaths})
        for (const std::string& text : *pStrings)
            if (text.size() >= size)
                std::abort();
    if (why.empty() && facts.defined.size() != names.size())
        std::abort();
    // The same bytes cut short are no more readable than they were.
    if (!why.empty() && size > 0) {
        TElfFacts shorter;
        if (ReadElfFacts(fd, size - 1, names, shorter).empty() && why == "not an ELF file")
            std::abort();
    }
    return 0;
}
