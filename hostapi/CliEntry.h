// One row of a command handler's command table.
#ifndef HOSTAPI_CLIENTRY_H
#define HOSTAPI_CLIENTRY_H

#include <cstdint>

// A table is an array of rows ended by one whose cmdId is -1. Rows and
// texts are static: they live as long as the library that defines them.
struct CliEntry {
    int32_t cmdId;
    const char* cmdName;   // the command word
    const char* descr;     // help text
    const char* argsDescr; // argument synopsis
};

#endif
