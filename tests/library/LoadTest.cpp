// The library loads into a process that provides the framework and the
// registry, as the daemon does, with every reference bound at load time,
// and gives back what it holds when it is unloaded.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "hostapi/BString.h"
#include "tests/support/AllocationControl.h"

namespace {

TEST(LibraryLoad, LoadsBoundCallsItsEntryPointsAndReleasesItsEmptyStringAtUnload)
{
    void* pLibrary = dlopen(MUROX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pLibrary) << dlerror();
    auto* pInit = reinterpret_cast<void (*)()>(dlsym(pLibrary, "MUROX_Init"));
    ASSERT_NE(nullptr, pInit) << "MUROX_Init must be exported undecorated";
    pInit();
    pInit();
    auto* pRegister = reinterpret_cast<void (*)()>(dlsym(pLibrary, "_Z14DbgModRegisterv"));
    ASSERT_NE(nullptr, pRegister);
    pRegister();

    // The table's class-wide empty string is empty once the library is
    // loaded. Storage given to it can only be returned by the release the
    // library registers at load: without it, the allocation count here and
    // the sanitizer build's leak check both see the block left behind.
    auto* pEmpty = static_cast<KAF::BString*>(dlsym(pLibrary, "_ZN11VirtualDirs10s_emptyStrE"));
    ASSERT_NE(nullptr, pEmpty);
    EXPECT_TRUE(pEmpty->m_pData == nullptr && pEmpty->m_length == 0);
    pEmpty->Assign("text", 4);
#ifdef MUROX_COUNT_ALLOCATIONS
    const long live = alloc_control::LiveBlocks();
#endif
    dlclose(pLibrary);
    if (dlopen(MUROX_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr)
        GTEST_SKIP() << "the library stayed loaded after dlclose";
#ifdef MUROX_COUNT_ALLOCATIONS
    EXPECT_EQ(live - 1, alloc_control::LiveBlocks());
#endif
}

} // namespace
