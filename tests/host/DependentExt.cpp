// An extension library whose init needs a library of its own, found where
// its run path says; built with MUROX_TEST_DEPENDENCY, that library.
#define API extern "C" __attribute__((visibility("default")))

#ifdef MUROX_TEST_DEPENDENCY
API int MuroxTestDependency()
{
    return 1;
}
#else
API int MuroxTestDependency();
API int MuroxExtInit()
{
    return MuroxTestDependency();
}
API void MuroxExtTerm() {}
#endif
