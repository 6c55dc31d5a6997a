#include "host/outputs/BStreamSwap.h"

BStreamSwap::~BStreamSwap()
{
    if (m_pOwn == nullptr)
        return;
    m_stream = m_pOriginal;
    std::fclose(m_pOwn);
}

bool BStreamSwap::Install()
{
    if (m_pOwn != nullptr)
        return true;
    cookie_io_functions_t functions{};
    functions.write = m_write;
    std::fflush(m_stream);
    m_pOwn = fopencookie(m_pCookie, "w", functions);
    if (m_pOwn == nullptr)
        return false;
    // Unbuffered: each write reaches the host whole, in one call.
    std::setvbuf(m_pOwn, nullptr, _IONBF, 0);
    m_pOriginal = m_stream;
    m_stream = m_pOwn;
    return true;
}
