// A sample extension library that is ready at once and reports both of its
// entry points through the event log. Built twice, under two names.
#include "eventlog/MuroxLogEvent.h"
#include "murox/MuroxExt.h"

int MuroxExtInit(void)
{
    MuroxLogEvent("%s: init", MUROX_SAMPLE_NAME);
    return 1;
}

void MuroxExtTerm(void)
{
    MuroxLogEvent("%s: term", MUROX_SAMPLE_NAME);
}
