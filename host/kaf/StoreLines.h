// Where the store's file gave each section and key, and every malformed
// line of a file: what a check needs to name each problem with its line.
// The framework's interface says none of it; only the host asks.
#ifndef HOST_KAF_STORELINES_H
#define HOST_KAF_STORELINES_H

#include <cstddef>
#include <string>
#include <vector>

#include "host/kaf/BConfigDocument.h"
#include "hostapi/BFileNV.h"

namespace KAF {

// Reads the named regular file into `store` as BFileNV::ReadFile does, but
// takes what a malformed file's well-formed lines say (as
// BConfigDocument::ParseLeniently does) and appends each malformed line's
// problem to `problems`, in file order. Zero, with LastError() set and the
// store unchanged, only when the file cannot be read. For checking; a
// commit of such a store still writes back every line, malformed or not.
KAF_API int ReadFileLeniently(BFileNV& store, const char* fileName,
                              std::vector<BConfigDocument::TLineProblem>& problems);

// The line of the store's file, as last read, that holds the section's
// header; 0 for a section it did not hold.
KAF_API std::size_t SectionLine(const BFileNV& store, const std::string& section);

// The line of the store's file, as last read, that gave the section's key;
// 0 for a key it did not hold or one set since.
KAF_API std::size_t KeyLine(const BFileNV& store, const std::string& section,
                            const std::string& key);

// The section's keys, in file order, each with the line of the file, as
// last read, that gave it (0 for a key set since).
KAF_API std::vector<BConfigDocument::TKeyLine> KeyLines(const BFileNV& store,
                                                        const std::string& section);

} // namespace KAF

#endif
