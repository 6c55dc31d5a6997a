#include "vdirs/VirtualDirs.h"

#include "vdirs/VirtualDirsLayout.h"

using KAF::BString;

// Constructed by the library's static initialisation with BString(), which
// is Init(nullptr, 0); the compiler registers its destructor (Release) with
// this library's at-exit list in the same step, so it runs at dlclose or
// process exit. Init with no text allocates nothing and cannot throw.
BString VirtualDirs::s_emptyStr; // NOLINT(cert-err58-cpp)

namespace {

// Records added to the array at a time: the first array and every growth.
constexpr int32_t kDirsStep = 8;

// Owns a new record array until Release hands it over; on every other way
// out of a scope, an exception included, it array-deletes it.
class TDirArray {
public:
    explicit TDirArray(int32_t count) : m_pDirs(new VirtualDir[count]) {}
    ~TDirArray() { delete[] m_pDirs; }
    TDirArray(const TDirArray&) = delete;
    TDirArray& operator=(const TDirArray&) = delete;

    VirtualDir* Get() const { return m_pDirs; }
    VirtualDir* Release()
    {
        VirtualDir* pDirs = m_pDirs;
        m_pDirs = nullptr;
        return pDirs;
    }

private:
    VirtualDir* m_pDirs;
};

// A new array of `capacity` records whose first `count` are copies of
// pOld's. pOld is not touched, so a failure leaves the table as it was.
VirtualDir* CopyIntoNewArray(const VirtualDir* pOld, int32_t count, int32_t capacity)
{
    TDirArray grown(capacity);
    for (int32_t i = 0; i < count; ++i)
        grown.Get()[i] = pOld[i];
    return grown.Release();
}

// Leaves the record's slot spare: three empty strings without storage.
void ReleaseDir(VirtualDir& dir)
{
    dir.key.Release();
    dir.value1.Release();
    dir.value2.Release();
}

} // namespace

VirtualDirs::VirtualDirs() : m_pDirs(nullptr), m_count(0), m_capacity(kDirsStep)
{
    m_pDirs = new VirtualDir[kDirsStep];
}

VirtualDirs::VirtualDirs(const VirtualDirs& other)
    : m_pDirs(nullptr), m_count(0), m_capacity(other.m_capacity)
{
    if (other.m_capacity <= 0)
        return;
    // A constructor that throws runs no destructor: the guard frees the
    // array should an append fail.
    TDirArray dirs(other.m_capacity);
    m_pDirs = dirs.Get();
    // The capacities are equal, so these appends never grow the array.
    for (int32_t i = 0; i < other.m_count; ++i) {
        const VirtualDir& dir = other.m_pDirs[i];
        PushBack(dir.key, dir.value1, dir.value2);
    }
    dirs.Release();
}

VirtualDirs::~VirtualDirs()
{
    Clear();
}

void VirtualDirs::Clear()
{
    delete[] m_pDirs; // records release their strings, last to first
    m_capacity = 0;
    m_pDirs = nullptr;
    m_count = 0;
}

// Allocation is array new, which throws rather than yield no array, so
// this never returns false: an allocator failure reaches the caller.
bool VirtualDirs::PushBack(const BString& key, const BString& value1, const BString& value2)
{
    if (m_capacity == 0) {
        // Assigned only once the array exists: a cleared table stays cleared.
        m_pDirs = new VirtualDir[kDirsStep];
        m_capacity = kDirsStep;
    }
    if (m_count == m_capacity) {
        const int32_t capacity = m_count + kDirsStep;
        VirtualDir* pGrown = CopyIntoNewArray(m_pDirs, m_count, capacity);
        delete[] m_pDirs;
        m_pDirs = pGrown;
        m_capacity = capacity;
    }
    // A throwing assignment leaves m_count as it is: this slot stays spare.
    // Assignment copies c_str(), the empty text for a string without text.
    VirtualDir& dir = m_pDirs[m_count];
    dir.key = key;
    dir.value1 = value1;
    dir.value2 = value2;
    ++m_count;
    return true;
}

int32_t VirtualDirs::Find(const BString& key) const
{
    if (m_count <= 0)
        return -1;
    for (int32_t i = 0; i < m_count; ++i) {
        const BString& candidate = m_pDirs[i].key;
        if (key.compare(0, key.m_length, candidate.c_str(), candidate.m_length) == 0)
            return i;
    }
    return -1;
}

bool VirtualDirs::Remove(const BString& key)
{
    const int32_t index = Find(key);
    if (index == -1)
        return false;
    ReleaseDir(m_pDirs[index]);
    for (int32_t j = index; j < m_count - 1; ++j)
        m_pDirs[j] = m_pDirs[j + 1];
    // The last record in use now also stands one slot lower.
    if (m_count > 1)
        ReleaseDir(m_pDirs[m_count - 1]);
    --m_count;
    return true;
}
