// The framework's string and string array.
//
// Both layouts are part of the contract with the daemon: the library reads
// the fields inline, so they must not move (see LayoutChecks.h).
#ifndef HOSTAPI_BSTRING_H
#define HOSTAPI_BSTRING_H

#include <cstdint>

#include "hostapi/KafApi.h"

namespace KAF {

// Zero-terminated text in an array-new buffer, or no buffer at all (the
// empty string). Every operation leaves a valid string behind, also when
// the allocator throws.
class KAF_API BString {
public:
    BString() { Init(nullptr, 0); }
    // A null text gives the empty string.
    BString(const char* text) { Init(text, Strlen(text)); } // NOLINT(google-explicit-constructor)
    BString(const BString& other) { Init(other.m_pData, other.m_length); }
    ~BString() { Release(); }

    // Skips self-assignment, else copies the source's whole text.
    BString& operator=(const BString& other)
    {
        if (this != &other)
            Assign(other.c_str(), other.m_length);
        return *this;
    }

    // On raw storage: (null, 0) makes the empty string without allocating,
    // (text, n) a copy of the first n characters of text.
    void Init(const char* text, unsigned length);
    // Replaces the text with the first `length` characters of `text`, which
    // must not be null and may lie inside this string's own buffer.
    void Assign(const char* text, unsigned length);
    // Array-deletes the buffer and leaves the empty string.
    void Release();

    // Position, length, text, length: like std::string::compare, 0 exactly
    // when the substring [pos, pos + len) equals the given text.
    int compare(unsigned pos, unsigned len, const char* text, unsigned textLength) const;

    // Length of zero-terminated text; 0 for a null text.
    static unsigned Strlen(const char* text);
    // The shared empty text that stands for a string without a buffer.
    static const char* _Nullstr();

    const char* c_str() const { return m_pData ? m_pData : _Nullstr(); }
    unsigned length() const { return m_length; }
    bool empty() const { return m_length == 0; }

    char* m_pData;       // null, or text of m_length characters and a zero
    uint32_t m_length;   // characters, terminator excluded
    uint32_t m_capacity; // characters the buffer holds, terminator excluded
};

// An owning, growable array of strings.
class KAF_API BStringArray {
public:
    BStringArray() : m_capacity(0), m_pItems(nullptr), m_count(0) {}
    ~BStringArray();
    BStringArray(const BStringArray&) = delete;
    BStringArray& operator=(const BStringArray&) = delete;

    // Appends a copy of `item`; on an allocator exception the array is
    // unchanged.
    void PushBack(const BString& item);

    int Count() const { return m_count; }
    const BString& At(int index) const { return m_pItems[index]; }

    int32_t m_capacity; // the framework's own; the library never reads it
    BString* m_pItems;  // m_count strings in use, contiguous
    int32_t m_count;
};

} // namespace KAF

#endif
