// An extension library that says in the event log when murox loads and
// unloads it.
#include "eventlog/MuroxLogEvent.h"
#include "murox/MuroxExt.h"

// The name each event starts with; the library's other files, if it had
// any, could call it too. Like everything not marked MUROX_EXT_API it
// stays inside the library: neither the daemon nor another extension binds
// to it.
const char* ExampleName()
{
    return "example";
}

int MuroxExtInit(void)
{
    MuroxLogEvent("%s: init", ExampleName());
    return 1;
}

void MuroxExtTerm(void)
{
    MuroxLogEvent("%s: term", ExampleName());
}
