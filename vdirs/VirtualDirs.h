// The virtual directory table: an ordered, growable table of string
// triples that the daemon fills and looks up by the first string.
//
// The daemon links against the members of VirtualDirs by name and reads
// both layouts inline, so neither may change (see VirtualDirsLayout.h).
#ifndef VDIRS_VIRTUALDIRS_H
#define VDIRS_VIRTUALDIRS_H

#include <cstdint>

#include "hostapi/BString.h"
#include "murox/MuroxExport.h"

// One record. `key` is what the table searches; `value1` and `value2` are
// carried unchanged. Not exported: the daemon compiles it from this header.
// The implicit operations are the record's contract: construction makes
// three empty strings (key first), destruction releases them in reverse
// order, and copying assigns key, value1, value2 in that order, each a full
// copy of the text.
struct VirtualDir {
    KAF::BString key;
    KAF::BString value1;
    KAF::BString value2;
};

// The records stay in the order of their appends; a removal closes the gap
// and keeps the order of the others. Keys need not be unique.
//
// A table is either cleared (no array, capacity 0, count 0) or holds an
// array of Capacity() records, a positive multiple of 8, of which the first
// Count() are in use and the rest are spare, each holding empty strings
// or, after a failed append, the part of a record that was copied. The
// capacity starts at 8, grows by 8 when an append finds the array full,
// and drops only on Clear.
//
// No operation takes a lock: one thread at a time per table. An allocator
// exception passes through to the caller with the guarantees given below.
class MUROX_API VirtualDirs {
public:
    // An empty table with room for 8 records.
    VirtualDirs();
    // A deep copy: the same capacity and the same records in the same
    // order; a copy of a cleared table is cleared. The two tables share
    // nothing afterwards. If the allocator throws, the source is unchanged
    // and nothing is left allocated.
    VirtualDirs(const VirtualDirs& other);
    // Releases every record and the array, as Clear.
    ~VirtualDirs();

    // Tables never share a record array. Assigning one table to another is
    // not offered; construct a copy instead.
    VirtualDirs& operator=(const VirtualDirs&) = delete;

    // Releases every record and the array; the table is left cleared and
    // stays usable: the next append allocates again.
    void Clear();

    // Appends a record holding copies of the three strings; a string
    // without text is stored as the empty string. The arguments must not
    // be strings held by this table: growing releases the old records
    // before the new one is filled. Returns true once appended.
    //
    // If the allocator throws, the exception passes through and the record
    // is not appended: Count() is unchanged and the records in use keep
    // their texts. When the array could not be obtained, or the old
    // records could not be copied into the grown array, the table is
    // exactly as it was (same array, same capacity; a cleared table stays
    // cleared). Only a failure while the new record's own strings are
    // copied finds the array already obtained or grown, with that record's
    // slot left spare for the next append.
    bool PushBack(const KAF::BString& key, const KAF::BString& value1, const KAF::BString& value2);

    // Index of the first record in use whose key equals `key`, or -1.
    // Only keys take part.
    int32_t Find(const KAF::BString& key) const;

    // Removes the first record whose key equals `key` and moves the later
    // ones one slot towards the front; returns false, changing nothing,
    // when no key matches. The capacity never shrinks. The records are
    // moved by copying their strings: should the allocator throw while
    // they move, the exception passes through with Count() unchanged, the
    // removed record's text gone and the later records partly moved (one
    // of them then appears twice).
    bool Remove(const KAF::BString& key);

    // Read access, inline. At(index) requires 0 <= index < Count().
    int32_t Count() const { return m_count; }
    int32_t Capacity() const { return m_capacity; }
    const VirtualDir& At(int32_t index) const { return m_pDirs[index]; }
    // The record array, null when the table is cleared.
    const VirtualDir* Dirs() const { return m_pDirs; }

    // The empty string, made when the library is loaded and released when
    // it is unloaded. Nothing in the library reads or writes it.
    static KAF::BString s_emptyStr;

private:
    friend struct VirtualDirsLayout;

    VirtualDir* m_pDirs; // array of m_capacity records, or null when cleared
    int32_t m_count;     // records in use, at indices 0 to m_count - 1
    int32_t m_capacity;  // records in the array
};

#endif
