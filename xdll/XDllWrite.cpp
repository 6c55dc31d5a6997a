#include "xdll/XDllLine.h"

namespace xdll_detail {

void WriteText(KAF::ICmdStream& out, const char* szText)
{
    // The temporary lives until Write returns and is released right after,
    // also when Write throws.
    out.Write(KAF::BString(szText));
}

} // namespace xdll_detail
