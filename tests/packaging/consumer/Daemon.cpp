// The daemon's side of libMUROX: it links the library, calls its entry
// points and reports where the dynamic linker found it.
#include <cstdio>
#include <dlfcn.h>

#include "hostapi/BString.h"
#include "xdll/MuroxEntry.h"

int main()
{
    // A framework call of the daemon's own, so the framework stays linked.
    KAF::BString name("libMUROX");

    MUROX_Init();
    DbgModRegister();

    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&MUROX_Init), &info) == 0 || info.dli_fname == nullptr) {
        std::fprintf(stderr, "MUROX_Init lies in no loaded object\n");
        return 1;
    }
    std::printf("%s from %s\n", name.c_str(), info.dli_fname);
    return 0;
}
