#include "host/registry/ExtElf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <unistd.h>

namespace {

// No table is read whole beyond this: the dynamic section, string table
// and hash buckets of a real shared object are far smaller.
const std::uint64_t kMaxTable = std::uint64_t(16) << 20;
// Symbols read at a time, and at most this many entries in the chain of a
// GNU hash table's last bucket (a linker keeps them a few long).
const std::uint64_t kSymbolBatch = 256;
const std::uint64_t kMaxChain = 4096;

const char kOutside[] = " lies outside the file";

struct TElf32 {
    using Ehdr = Elf32_Ehdr;
    using Phdr = Elf32_Phdr;
    using Dyn = Elf32_Dyn;
    using Sym = Elf32_Sym;
    using Addr = Elf32_Addr;
};

struct TElf64 {
    using Ehdr = Elf64_Ehdr;
    using Phdr = Elf64_Phdr;
    using Dyn = Elf64_Dyn;
    using Sym = Elf64_Sym;
    using Addr = Elf64_Addr;
};

// A sum of what the file says, which may be anything.
bool Sum(std::uint64_t a, std::uint64_t b, std::uint64_t& sum)
{
    return !__builtin_add_overflow(a, b, &sum);
}

// The file, in its own byte order.
class BElfFile {
public:
    BElfFile(int fd, std::uint64_t size, bool swap) : m_fd(fd), m_size(size), m_swap(swap) {}

    std::uint64_t Size() const { return m_size; }

    // False unless all `length` bytes at `offset` lie in the file and were
    // read.
    bool Read(std::uint64_t offset, void* pTo, std::uint64_t length) const
    {
        if (offset > m_size || length > m_size - offset || length > kMaxTable)
            return false;
        auto* pByte = static_cast<char*>(pTo);
        while (length > 0) {
            const ssize_t got =
                ::pread(m_fd, pByte, static_cast<std::size_t>(length), static_cast<off_t>(offset));
            if (got <= 0)
                return false;
            pByte += got;
            offset += static_cast<std::uint64_t>(got);
            length -= static_cast<std::uint64_t>(got);
        }
        return true;
    }

    // A field of the file as this process reads it.
    template <class V> V Host(V value) const
    {
        if (m_swap) {
            unsigned char bytes[sizeof value];
            std::memcpy(bytes, &value, sizeof value);
            std::reverse(bytes, bytes + sizeof value);
            std::memcpy(&value, bytes, sizeof value);
        }
        return value;
    }

private:
    int m_fd;
    std::uint64_t m_size;
    bool m_swap;
};

// What the dynamic section points at, by address.
struct TDynamic {
    std::uint64_t strtab = 0, strsz = 0, symtab = 0, syment = 0, hash = 0, gnuHash = 0;
    bool hasStrtab = false, hasSymtab = false, hasSyment = false, hasHash = false,
         hasGnuHash = false;
    std::vector<std::uint64_t> needed, runPaths; // offsets in the string table
};

template <class E> class BElfReader {
public:
    explicit BElfReader(const BElfFile& file) : m_file(file) {}

    std::string Read(const std::vector<std::string>& names, TElfFacts& facts)
    {
        facts.defined.assign(names.size(), false);
        typename E::Ehdr header;
        if (!m_file.Read(0, &header, sizeof header))
            return "its header is cut short";
        facts.type = H(header.e_type);
        facts.kind.machine = H(header.e_machine);
        std::string why = ReadSegments(header);
        if (why.empty() && m_hasDynamic)
            why = ReadDynamic(facts);
        if (why.empty() && m_dynamic.hasSymtab && !names.empty())
            why = FindSymbols(names, facts);
        return why;
    }

private:
    template <class V> V H(V value) const { return m_file.Host(value); }

    std::string ReadSegments(const typename E::Ehdr& header)
    {
        using Phdr = typename E::Phdr;
        const std::uint64_t count = H(header.e_phnum);
        if (count != 0 && H(header.e_phentsize) != sizeof(Phdr))
            return "its program headers are of an unknown size";
        if (count >= PN_XNUM)
            return "it has too many program headers";
        if (count * sizeof(Phdr) > m_file.Size())
            return "its program headers lie outside the file";
        std::vector<Phdr> headers(count);
        if (!m_file.Read(H(header.e_phoff), headers.data(), count * sizeof(Phdr)))
            return "its program headers lie outside the file";
        for (const Phdr& each : headers) {
            // As the loader does: the last dynamic segment counts.
            if (H(each.p_type) == PT_LOAD) {
                m_loads.push_back(each);
            } else if (H(each.p_type) == PT_DYNAMIC) {
                m_dynamicSegment = each;
                m_hasDynamic = true;
            }
        }
        return std::string();
    }

    // Where the bytes at `address` lie in the file, and how many follow
    // there: the loader finds them in the file part of a load segment.
    bool Locate(std::uint64_t address, std::uint64_t& offset, std::uint64_t& available) const
    {
        for (const typename E::Phdr& load : m_loads) {
            const std::uint64_t start = H(load.p_vaddr), size = H(load.p_filesz);
            if (address < start || address - start >= size ||
                !Sum(H(load.p_offset), address - start, offset))
                continue;
            available = size - (address - start);
            return true;
        }
        return false;
    }

    bool ReadAt(std::uint64_t address, void* pTo, std::uint64_t length) const
    {
        std::uint64_t offset = 0, available = 0;
        return length == 0 || (Locate(address, offset, available) && length <= available &&
                               m_file.Read(offset, pTo, length));
    }

    std::string ReadDynamic(TElfFacts& facts)
    {
        using Dyn = typename E::Dyn;
        const std::uint64_t size =
            std::min({std::uint64_t(H(m_dynamicSegment.p_filesz)), m_file.Size(), kMaxTable});
        std::vector<Dyn> entries(static_cast<std::size_t>(size / sizeof(Dyn)));
        if (!ReadAt(H(m_dynamicSegment.p_vaddr), entries.data(), entries.size() * sizeof(Dyn)))
            return std::string("its dynamic section") + kOutside;
        for (const Dyn& entry : entries) {
            if (H(entry.d_tag) == DT_NULL)
                break;
            Note(H(entry.d_tag), H(entry.d_un.d_val));
        }
        TDynamic& d = m_dynamic;
        if (d.hasStrtab) {
            if (d.strsz > kMaxTable || d.strsz > m_file.Size())
                return "its string table is too large";
            m_strings.resize(d.strsz);
            if (!ReadAt(d.strtab, &m_strings[0], d.strsz))
                return std::string("its string table") + kOutside;
        }
        std::string why = Strings(d.needed, facts.needed);
        return why.empty() ? Strings(d.runPaths, facts.runPaths) : why;
    }

    // One entry of the dynamic section; as for the loader, the last of a
    // kind counts, but every name and run path is kept.
    void Note(std::int64_t tag, std::uint64_t value)
    {
        TDynamic& d = m_dynamic;
        switch (tag) {
        case DT_STRTAB:
            d.strtab = value;
            d.hasStrtab = true;
            break;
        case DT_STRSZ:
            d.strsz = value;
            break;
        case DT_SYMTAB:
            d.symtab = value;
            d.hasSymtab = true;
            break;
        case DT_SYMENT:
            d.syment = value;
            d.hasSyment = true;
            break;
        case DT_HASH:
            d.hash = value;
            d.hasHash = true;
            break;
        case DT_GNU_HASH:
            d.gnuHash = value;
            d.hasGnuHash = true;
            break;
        case DT_NEEDED:
            d.needed.push_back(value);
            break;
        case DT_RUNPATH:
        case DT_RPATH:
            d.runPaths.push_back(value);
            break;
        default:
            break;
        }
    }

    // The strings at `offsets` of the string table, each ending within it.
    std::string Strings(const std::vector<std::uint64_t>& offsets, std::vector<std::string>& to)
    {
        for (const std::uint64_t at : offsets) {
            const std::string::size_type end =
                at < m_strings.size() ? m_strings.find('\0', at) : std::string::npos;
            if (end == std::string::npos)
                return "a name of its dynamic section lies outside its string table";
            to.push_back(m_strings.substr(at, end - at));
        }
        return std::string();
    }

    std::string FindSymbols(const std::vector<std::string>& names, TElfFacts& facts)
    {
        using Sym = typename E::Sym;
        if (m_dynamic.hasSyment && m_dynamic.syment != sizeof(Sym))
            return "its symbols are of an unknown size";
        std::uint64_t count = 0;
        std::string why = SymbolCount(count);
        if (!why.empty())
            return why;
        if (count > m_file.Size() / sizeof(Sym))
            return std::string("its symbol table") + kOutside;
        std::vector<Sym> batch(kSymbolBatch);
        for (std::uint64_t first = 0; first < count; first += kSymbolBatch) {
            const std::uint64_t n = std::min(kSymbolBatch, count - first);
            std::uint64_t address = 0;
            if (!Sum(m_dynamic.symtab, first * sizeof(Sym), address) ||
                !ReadAt(address, batch.data(), n * sizeof(Sym)))
                return std::string("its symbol table") + kOutside;
            for (std::uint64_t i = 0; i < n; ++i)
                Match(batch[i], names, facts.defined);
        }
        return std::string();
    }

    // A global or weak function, or an untyped symbol, that the object
    // defines (in one of its sections).
    void Match(const typename E::Sym& symbol, const std::vector<std::string>& names,
               std::vector<bool>& defined) const
    {
        const unsigned type = ELF32_ST_TYPE(symbol.st_info), bind = ELF32_ST_BIND(symbol.st_info);
        const std::uint64_t at = H(symbol.st_name);
        if (H(symbol.st_shndx) == SHN_UNDEF || (type != STT_FUNC && type != STT_NOTYPE) ||
            (bind != STB_GLOBAL && bind != STB_WEAK) || at >= m_strings.size())
            return;
        const char* szName = m_strings.c_str() + at;
        for (std::size_t i = 0; i < names.size(); ++i)
            if (names[i] == szName)
                defined[i] = true;
    }

    // How many symbols the loader can find: a hash table says.
    std::string SymbolCount(std::uint64_t& count) const
    {
        if (m_dynamic.hasGnuHash)
            return GnuHashCount(count);
        Elf32_Word words[2] = {0, 0};
        if (m_dynamic.hasHash && !ReadAt(m_dynamic.hash, words, sizeof words))
            return std::string("its hash table") + kOutside;
        count = H(words[1]);
        return std::string();
    }

    // The symbols below the table's base, and those its buckets' chains
    // reach: the last of them ends the chain of the highest bucket.
    std::string GnuHashCount(std::uint64_t& count) const
    {
        std::string outside = std::string("its GNU hash table") + kOutside;
        Elf32_Word header[4];
        if (!ReadAt(m_dynamic.gnuHash, header, sizeof header))
            return outside;
        const std::uint64_t buckets = H(header[0]), base = H(header[1]);
        std::uint64_t bucketsAt = 0, chainsAt = 0;
        if (!Sum(m_dynamic.gnuHash,
                 sizeof header + std::uint64_t(H(header[2])) * sizeof(typename E::Addr),
                 bucketsAt) ||
            buckets * 4 > std::min(kMaxTable, m_file.Size()) ||
            !Sum(bucketsAt, buckets * 4, chainsAt))
            return outside;
        std::vector<Elf32_Word> words(static_cast<std::size_t>(buckets));
        if (!ReadAt(bucketsAt, words.data(), buckets * 4))
            return outside;
        std::uint64_t last = 0;
        for (const Elf32_Word word : words)
            last = std::max<std::uint64_t>(last, H(word));
        count = base;
        if (last < base)
            return std::string();
        std::uint64_t address = 0, offset = 0, available = 0;
        if (!Sum(chainsAt, (last - base) * 4, address) || !Locate(address, offset, available))
            return outside;
        words.resize(static_cast<std::size_t>(std::min(available / 4, kMaxChain)));
        if (!m_file.Read(offset, words.data(), words.size() * 4))
            return outside;
        for (std::size_t i = 0; i < words.size(); ++i)
            if ((H(words[i]) & 1) != 0) {
                count = last + i + 1;
                return std::string();
            }
        return "the chain of its GNU hash table does not end";
    }

    const BElfFile& m_file;
    std::vector<typename E::Phdr> m_loads;
    typename E::Phdr m_dynamicSegment{};
    bool m_hasDynamic = false;
    TDynamic m_dynamic;
    std::string m_strings;
};

} // namespace

std::string ReadElfFacts(int fd, std::uint64_t size, const std::vector<std::string>& names,
                         TElfFacts& facts)
{
    unsigned char ident[EI_NIDENT];
    if (!BElfFile(fd, size, false).Read(0, ident, sizeof ident) ||
        std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return "not an ELF file";
    facts.kind.elfClass = ident[EI_CLASS];
    facts.kind.byteOrder = ident[EI_DATA];
    const bool big = ident[EI_DATA] == ELFDATA2MSB;
    if (!big && ident[EI_DATA] != ELFDATA2LSB)
        return "an ELF file of an unknown byte order";
    const BElfFile file(fd, size, big != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__));
    if (ident[EI_CLASS] == ELFCLASS32)
        return BElfReader<TElf32>(file).Read(names, facts);
    if (ident[EI_CLASS] == ELFCLASS64)
        return BElfReader<TElf64>(file).Read(names, facts);
    return "an ELF file of an unknown class";
}

TElfKind OwnElfKind()
{
    // Any address in the registry's image leads to its start, where the
    // loader mapped its ELF header.
    static const char kHere = 0;
    Dl_info info{};
    TElfKind kind;
    if (dladdr(&kHere, &info) == 0 || info.dli_fbase == nullptr)
        return kind;
    const auto* pHeader = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
    if (std::memcmp(pHeader->e_ident, ELFMAG, SELFMAG) == 0)
        kind = TElfKind{pHeader->e_ident[EI_CLASS], pHeader->e_ident[EI_DATA], pHeader->e_machine};
    return kind;
}

std::string DescribeElfKind(const TElfKind& kind)
{
    char text[96];
    const char* szClass = kind.elfClass == ELFCLASS32   ? "32-bit"
                          : kind.elfClass == ELFCLASS64 ? "64-bit"
                                                        : "of no known class";
    const char* szOrder = kind.byteOrder == ELFDATA2LSB   ? "little-endian"
                          : kind.byteOrder == ELFDATA2MSB ? "big-endian"
                                                          : "of no known byte order";
    std::snprintf(text, sizeof text, "%s %s, machine %u", szClass, szOrder, kind.machine);
    return text;
}
