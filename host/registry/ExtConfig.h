// How the configuration store describes extension libraries.
//
// One section per library, in the order the registry lists them:
//
//   [extdll NAME]
//   path = PATH     required: the shared object's path; what may be loaded
//                   from where is ExtFile's to say
//   web = WEB       optional, empty when absent: the library's web part
//   load = 1        optional, 1 when absent: 1 loads the library at start
//                   and at "xdll -r", 0 leaves it unloaded
//
// No other key is read (UnknownExtKeys finds them).
//
// NAME is one word of ASCII letters, digits, '.', '_' and '-' (IsExtName). Sections whose name does
// not begin with the word "extdll" belong to other parts of the host and are left alone.
#ifndef HOST_REGISTRY_EXTCONFIG_H
#define HOST_REGISTRY_EXTCONFIG_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "hostapi/BFileNV.h"

struct TExtConfigEntry {
    std::string name;
    std::string path;
    std::string web;
    bool load;
};

// Every extension library the store describes, in store order. False, with
// the reason in `error` and `entries` untouched, when a section is not a
// complete description (no name, no path, a load value other than 0 or 1,
// a name given twice).
bool ReadExtConfig(const KAF::INonVolatile& config, std::vector<TExtConfigEntry>& entries,
                   std::string& error);

// A problem of a library's section: the section as the store names it,
// the key at fault (empty when the section as a whole is: its name, a
// missing path), and why.
struct TExtConfigProblem {
    std::string section;
    std::string key;
    std::string why;
};

// Every extension library the store describes, in store order, appended to
// `entries`, and each problem of a section appended to `problems`, in store
// order. `checkEntry`, when given, is asked about each complete entry: a
// nonempty answer is one more problem of its section, at its path.
void ScanExtConfig(const KAF::INonVolatile& config, std::vector<TExtConfigEntry>& entries,
                   std::vector<TExtConfigProblem>& problems,
                   const std::function<std::string(const TExtConfigEntry&)>& checkEntry = {});

// The keys that a library's section holds but nothing reads (none of path,
// web, load: a typo, or a key of a later version), each a problem "unknown
// key 'KEY' ..." in store order; `keysOf` gives a section's keys, which the
// framework's interface does not list.
std::vector<TExtConfigProblem>
UnknownExtKeys(const KAF::INonVolatile& config,
               const std::function<std::vector<std::string>(const std::string&)>& keysOf);

// What a library's name may hold, as said to whoever gave another.
const char kExtNameRule[] = "1 to 255 letters (a-z, A-Z), digits, '.', '_' or '-', not "
                            "beginning with '-'";
const std::size_t kMaxExtNameLength = 255;

// True when `name` can name a library, as kExtNameRule says: ASCII letters,
// digits, '.', '_' and '-' only, so that no terminal, log, shell or command
// line acts on a name.
bool IsExtName(const std::string& name);

// The section that describes the library `name`, as a new one is named.
std::string ExtSectionName(const std::string& name);

// The section of `config` that describes the library `name`, found by the
// name its header gives, whatever blanks stand between the section word and
// the name ("[extdll  NAME]", a tab); ExtSectionName(name) when there is
// none.
std::string FindExtSection(const KAF::INonVolatile& config, const std::string& name);

#endif
