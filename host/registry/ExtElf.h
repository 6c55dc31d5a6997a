// What the registry reads of a shared object before a byte of it runs: its
// kind, whether it defines the entry points, and where the loader would
// look for its dependencies. A small reader over <elf.h>: the file is read
// with pread and decoded by its own class and byte order, whatever the
// process's; every offset and size it holds is checked against the file's
// size before use, and no table is read whole beyond a fixed bound. It
// reads what the dynamic loader reads: the program headers and the dynamic
// section, with addresses translated through the load segments.
#ifndef HOST_REGISTRY_EXTELF_H
#define HOST_REGISTRY_EXTELF_H

#include <cstdint>
#include <string>
#include <vector>

struct TElfKind {
    unsigned elfClass = 0;  // ELFCLASS32 or ELFCLASS64
    unsigned byteOrder = 0; // ELFDATA2LSB or ELFDATA2MSB
    unsigned machine = 0;   // EM_...
};

inline bool operator==(const TElfKind& a, const TElfKind& b)
{
    return a.elfClass == b.elfClass && a.byteOrder == b.byteOrder && a.machine == b.machine;
}

struct TElfFacts {
    TElfKind kind;
    unsigned type = 0;                 // ET_...
    std::vector<std::string> runPaths; // each DT_RUNPATH and DT_RPATH value, as written
    std::vector<std::string> needed;   // each DT_NEEDED name
    std::vector<bool> defined;         // for each name asked about
};

// Reads the ELF file open at `fd`, `size` bytes long. For each of `names`,
// whether its dynamic symbol table defines a global or weak function (or
// untyped symbol) of that name. Empty when read; else what keeps it from
// being read ("not an ELF file", "its dynamic section lies outside the
// file", ...), `facts` then partly filled in.
std::string ReadElfFacts(int fd, std::uint64_t size, const std::vector<std::string>& names,
                         TElfFacts& facts);

// This process's own kind, read from the registry's own image.
TElfKind OwnElfKind();

// "32-bit big-endian, machine 20".
std::string DescribeElfKind(const TElfKind& kind);

#endif
