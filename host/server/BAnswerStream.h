// A command's answer collected whole, so that it can be sent, or written to
// the stream its outcome calls for, once the line has run.
#ifndef HOST_SERVER_BANSWERSTREAM_H
#define HOST_SERVER_BANSWERSTREAM_H

#include <string>

#include "hostapi/ICmdStream.h"

class BAnswerStream : public KAF::ICmdStream {
public:
    explicit BAnswerStream(std::string& answer) : m_answer(answer) {}
    void Write(const KAF::BString& text) override { m_answer.append(text.c_str(), text.length()); }

private:
    std::string& m_answer;
};

#endif
