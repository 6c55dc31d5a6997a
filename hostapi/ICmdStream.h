// The output stream of one command line.
#ifndef HOSTAPI_ICMDSTREAM_H
#define HOSTAPI_ICMDSTREAM_H

#include "hostapi/BString.h"
#include "hostapi/KafApi.h"

namespace KAF {

class KAF_API ICmdStream {
public:
    virtual ~ICmdStream();
    // Pushes buffered text to the operator; the library never calls it.
    virtual void Flush();
    // Appends the text unchanged.
    virtual void Write(const BString& text) = 0;
};

} // namespace KAF

#endif
