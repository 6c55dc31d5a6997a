// A shared object that is no extension library: it has neither entry
// point, and, as a sanitizer's runtime does in a process that did not
// start with it, its constructor ends whatever loads it. The registry
// must refuse it before loading it.
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int MuroxTestNothing()
{
    return 0;
}

__attribute__((constructor)) static void EndTheProcess()
{
    std::abort();
}
