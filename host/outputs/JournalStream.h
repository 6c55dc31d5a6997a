// Whether the daemon's standard output is the journal, which reads a
// priority at the start of each line ("<N>", sd-daemon(3)).
#ifndef HOST_OUTPUTS_JOURNALSTREAM_H
#define HOST_OUTPUTS_JOURNALSTREAM_H

// Whether descriptor `fd` is the journal's stream that systemd connected
// the service to. systemd names that stream in $JOURNAL_STREAM
// (`szJournalStream`) as "DEVICE:INODE"; a descriptor redirected since (a
// daemon started by hand from a shell of a service, with the variable
// inherited) no longer matches, and gets plain lines. False for a null or
// malformed text.
bool IsJournalStream(const char* szJournalStream, int fd);

#endif
