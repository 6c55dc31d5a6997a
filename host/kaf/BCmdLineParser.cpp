#include "hostapi/BCmdLineParser.h"

namespace KAF {

int BCmdLineParser::IsSwitch(const BString& word)
{
    return word.length() >= 2 && word.c_str()[0] == '-';
}

int BCmdLineParser::SplitSwitch(const BString& word, char& letter, BString& value)
{
    if (!IsSwitch(word) || word.c_str()[1] == '-')
        return 0;
    // Assign first: if it throws, `letter` is still untouched.
    value.Assign(word.c_str() + 2, word.length() - 2);
    letter = word.c_str()[1];
    return 1;
}

} // namespace KAF
