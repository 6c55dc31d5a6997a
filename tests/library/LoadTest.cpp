// The library loads into a process that provides the framework and the
// registry, as the daemon does, with every reference bound at load time.
#include <dlfcn.h>

#include <gtest/gtest.h>

namespace {

class TLibrary {
public:
    explicit TLibrary(const char* path) : m_handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~TLibrary()
    {
        if (m_handle != nullptr)
            dlclose(m_handle);
    }
    TLibrary(const TLibrary&) = delete;
    TLibrary& operator=(const TLibrary&) = delete;

    void* Handle() const { return m_handle; }

private:
    void* m_handle;
};

TEST(LibraryLoad, LoadsWithEveryReferenceBoundAndEntryPointsCallable)
{
    TLibrary library(MUROX_LIBRARY_PATH);
    ASSERT_NE(nullptr, library.Handle()) << dlerror();

    auto* pInit = reinterpret_cast<void (*)()>(dlsym(library.Handle(), "MUROX_Init"));
    ASSERT_NE(nullptr, pInit) << "MUROX_Init must be exported undecorated";
    pInit();
    pInit();

    auto* pRegister = reinterpret_cast<void (*)()>(dlsym(library.Handle(), "_Z14DbgModRegisterv"));
    ASSERT_NE(nullptr, pRegister);
    pRegister();
}

TEST(LibraryLoad, HidesItsInternals)
{
    TLibrary library(MUROX_LIBRARY_PATH);
    ASSERT_NE(nullptr, library.Handle()) << dlerror();
    // The plain name is the C linkage one; no C++ decorated twin exists.
    EXPECT_EQ(nullptr, dlsym(library.Handle(), "_Z10MUROX_Initv"));
    EXPECT_EQ(nullptr, dlsym(library.Handle(), "DbgModRegister"));
}

} // namespace
