// A sample extension library whose initialisation always fails, so that
// the registry has to close it again.
#include "eventlog/MuroxLogEvent.h"
#include "host/registry/MuroxExt.h"

int MuroxExtInit(void)
{
    MuroxLogEvent("broken: init refuses, it has nothing to serve");
    return 0;
}

void MuroxExtTerm(void)
{
    MuroxLogEvent("broken: term (never expected)");
}
