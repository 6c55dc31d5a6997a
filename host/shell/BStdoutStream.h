// A command's output stream on the process's standard output.
#ifndef HOST_SHELL_BSTDOUTSTREAM_H
#define HOST_SHELL_BSTDOUTSTREAM_H

#include "hostapi/ICmdStream.h"

// Writes through stdout's buffer and flushes it at the end of every line,
// so that command output and event records (which the sink writes to the
// same stdout) reach the operator in the order they were made.
class BStdoutStream : public KAF::ICmdStream {
public:
    void Flush() override;
    void Write(const KAF::BString& text) override;
};

#endif
