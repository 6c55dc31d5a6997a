// How murox ends: its exit statuses beside 0, success.
#ifndef HOST_PROGRAM_MUROXEXIT_H
#define HOST_PROGRAM_MUROXEXIT_H

const int kFailure = 1;    // it could not do what it was started for
const int kBadUsage = 2;   // the command line or the configuration is wrong
const int kLineFailed = 3; // the shell ran every line, and one failed
// Access refused: the socket's permissions or the daemon refuse the
// console, or the console does not trust the process that serves its
// socket (neither root nor the console's user).
const int kAccessRefused = 4;

#endif
