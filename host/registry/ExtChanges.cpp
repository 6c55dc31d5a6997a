#include "host/registry/ExtChanges.h"

#include <new>

namespace {

TExtChanges* s_pChanges = nullptr;

} // namespace

TExtChangesUse::TExtChangesUse(TExtChanges& changes) : m_pOuter(s_pChanges)
{
    s_pChanges = &changes;
}

TExtChangesUse::~TExtChangesUse()
{
    s_pChanges = m_pOuter;
}

void NoteExtChange(std::vector<std::string> TExtChanges::*list, const std::string& name)
{
    if (s_pChanges == nullptr)
        return;
    try {
        (s_pChanges->*list).push_back(name);
    } catch (const std::bad_alloc&) {
        // What the line reports understates; what it did stands.
    }
}
