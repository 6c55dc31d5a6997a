// The library loads into a process that provides the framework and the
// registry, as the daemon does, with every reference bound at load time.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <memory>

namespace {

using TLibrary = std::unique_ptr<void, int (*)(void*)>;

TLibrary Open()
{
    return TLibrary(dlopen(MUROX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL), dlclose);
}

TEST(LibraryLoad, LoadsWithEveryReferenceBoundAndEntryPointsCallable)
{
    const TLibrary library = Open();
    ASSERT_NE(nullptr, library) << dlerror();

    auto* pInit = reinterpret_cast<void (*)()>(dlsym(library.get(), "MUROX_Init"));
    ASSERT_NE(nullptr, pInit) << "MUROX_Init must be exported undecorated";
    pInit();
    pInit();

    auto* pRegister = reinterpret_cast<void (*)()>(dlsym(library.get(), "_Z14DbgModRegisterv"));
    ASSERT_NE(nullptr, pRegister);
    pRegister();
}

TEST(LibraryLoad, HidesItsInternals)
{
    const TLibrary library = Open();
    ASSERT_NE(nullptr, library) << dlerror();
    // The plain name is the C linkage one; no C++ decorated twin exists.
    EXPECT_EQ(nullptr, dlsym(library.get(), "_Z10MUROX_Initv"));
    EXPECT_EQ(nullptr, dlsym(library.get(), "DbgModRegister"));
}

} // namespace
