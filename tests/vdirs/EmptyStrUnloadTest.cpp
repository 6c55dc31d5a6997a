// The class-wide empty string lives as long as the library: empty once it
// is loaded, its storage returned when it is unloaded. The library is
// opened at run time, as the daemon does, so that it can be unloaded.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "hostapi/BString.h"
#ifdef MUROX_COUNTS_ALLOCATIONS
#include "support/AllocationControl.h"
#endif

namespace {

TEST(VirtualDirsEmptyStr, EmptyAfterLoadAndReleasedAtUnload)
{
    void* pLibrary = dlopen(MUROX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pLibrary) << dlerror();
    auto* pEmpty = static_cast<KAF::BString*>(dlsym(pLibrary, "_ZN11VirtualDirs10s_emptyStrE"));
    ASSERT_NE(nullptr, pEmpty);
    EXPECT_EQ(nullptr, pEmpty->m_pData);
    EXPECT_EQ(0u, pEmpty->m_length);
    EXPECT_STREQ("", pEmpty->c_str());

    // Storage that only the release registered at load can return. Without
    // that release, the leak checker of the sanitizer build reports it.
    pEmpty->Assign("text", 4);
#ifdef MUROX_COUNTS_ALLOCATIONS
    const long live = alloc_control::LiveBlocks();
#endif
    dlclose(pLibrary);
    if (dlopen(MUROX_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr)
        GTEST_SKIP() << "the library stayed loaded after dlclose";
#ifdef MUROX_COUNTS_ALLOCATIONS
    EXPECT_EQ(live - 1, alloc_control::LiveBlocks());
#endif
}

} // namespace
