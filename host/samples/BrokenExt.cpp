// A sample extension library whose initialisation always fails, so that
// the registry has to close it again; it says so, as the development
// configuration loads it at start, where the failure is the first thing a
// newcomer sees.
#include "eventlog/MuroxLogEvent.h"
#include "murox/MuroxExt.h"

int MuroxExtInit(void)
{
    MuroxLogEvent("broken: init refuses on purpose, a sample of a library that cannot start");
    return 0;
}

void MuroxExtTerm(void)
{
    MuroxLogEvent("broken: term (never expected)");
}
