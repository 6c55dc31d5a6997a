// The shell on the operator's terminal: the libraries loaded in this
// process, the lines read here.
#ifndef HOST_PROGRAM_MUROXSESSION_H
#define HOST_PROGRAM_MUROXSESSION_H

#include "host/program/MuroxOptions.h"
#include "hostapi/BFileNV.h"

// The -e lines, or standard input's, until their end or "quit". 0, or
// kLineFailed when a line failed, after running them all; kFailure when
// standard output could not be written.
int RunSession(const TMuroxOptions& options, KAF::BFileNV& store);

#endif
