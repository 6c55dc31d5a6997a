// A framework string's text as a standard string, zero bytes included.
#ifndef TESTS_SUPPORT_TEXT_H
#define TESTS_SUPPORT_TEXT_H

#include <string>

#include "hostapi/BString.h"

inline std::string Text(const KAF::BString& text)
{
    return std::string(text.c_str(), text.length());
}

#endif
