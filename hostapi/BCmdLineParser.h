// Switch recognition for command lines.
#ifndef HOSTAPI_BCMDLINEPARSER_H
#define HOSTAPI_BCMDLINEPARSER_H

#include "hostapi/BString.h"
#include "hostapi/KafApi.h"

namespace KAF {

// A switch is a word of two or more characters that starts with '-'; a lone
// "-" is a plain argument. A switch is "-" LETTER [VALUE]: "-l" has the
// letter 'l' and an empty value, "-lfoo" the letter 'l' and the value "foo".
// Switches whose second character is '-' ("--", "--name") are switches that
// SplitSwitch rejects.
class KAF_API BCmdLineParser {
public:
    // Nonzero when `word` is a switch.
    static int IsSwitch(const BString& word);
    // Nonzero, with `letter` and `value` set, for a switch it accepts; zero,
    // with both untouched, for anything else.
    static int SplitSwitch(const BString& word, char& letter, BString& value);
};

} // namespace KAF

#endif
