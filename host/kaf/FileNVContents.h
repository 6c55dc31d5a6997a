// What a file-backed store holds, behind the framework's opaque pointer.
// Only the framework's own files include this.
#ifndef HOST_KAF_FILENVCONTENTS_H
#define HOST_KAF_FILENVCONTENTS_H

#include "host/kaf/BConfigDocument.h"
#include "host/kaf/ConfigFile.h"
#include "host/kaf/ConfigLock.h"
#include "hostapi/BFileNV.h"

namespace KAF {

struct BFileNV::TContents {
    BConfigDocument document;
    TFileImage synced;  // the file as last read or written
    BConfigLocks locks; // the store's file's, once placed (StoreControl.h)

    // A nested class may reach the store's private pointer: this is how the
    // framework's functions beside the store do it without new members.
    static TContents& Of(BFileNV& store) { return *store.m_pContents; }
    static const TContents& Of(const BFileNV& store) { return *store.m_pContents; }
    static BString& LastErrorOf(BFileNV& store) { return store.m_lastError; }
};

} // namespace KAF

#endif
