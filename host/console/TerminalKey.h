// Keys read from a terminal one at a time, for the line editor.
#ifndef HOST_CONSOLE_TERMINALKEY_H
#define HOST_CONSOLE_TERMINALKEY_H

// The next key on `fd` as libedit's own reader takes it: one character of
// the locale's encoding (LC_CTYPE), a byte that does not decode taken as
// it is; EOF at the end of the input or on an error.
int ReadTerminalKey(int fd);

#endif
