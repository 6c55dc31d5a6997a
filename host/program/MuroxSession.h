// The shell on the operator's terminal: the libraries loaded in this
// process, the lines read here.
#ifndef HOST_PROGRAM_MUROXSESSION_H
#define HOST_PROGRAM_MUROXSESSION_H

#include <cstdio>

#include "host/program/MuroxOptions.h"
#include "hostapi/BFileNV.h"

// The -e lines, or standard input's, until their end or "quit". 0, or
// kLineFailed when a line failed, after running them all; kFailure when
// standard output could not be written. A line that fails among lines
// given or piped in is named after its answer, on standard error
// ("murox: line 2 failed: LINE"). With --json, each line's JSON object
// goes to standard output instead of its answer and its events, and the
// events outside lines (the libraries' at start and exit) to standard
// error.
int RunSession(const TMuroxOptions& options, KAF::BFileNV& store);

// `status`, once what was written to `pOut` (standard output) has reached
// it; else kFailure, said on standard error: a script must not take a lost
// answer for one given.
int AfterStandardOutput(int status, std::FILE* pOut = stdout);

#endif
