// The entry points of a murox extension library.
//
// An extension library is a shared object that exports both functions with
// C linkage. The host opens it with dlopen (RTLD_NOW | RTLD_LOCAL), so every
// reference must resolve at once against the host process, libMUROX
// included (MuroxLogEvent is the way to report).
//
//   MuroxExtInit   called once right after the library is opened; nonzero
//                  means the library is ready. On zero the host closes the
//                  library again without calling MuroxExtTerm.
//   MuroxExtTerm   called once before the library is closed, after a
//                  successful MuroxExtInit.
//
// A library whose dynamic symbol table lacks either function is not loaded
// (the host reads the table first). Several names configured with paths to
// the same file share one image: each load calls MuroxExtInit again. The
// library is opened by its path, so $ORIGIN is its own directory.
#ifndef HOST_REGISTRY_MUROXEXT_H
#define HOST_REGISTRY_MUROXEXT_H

#define MUROX_EXT_API extern "C" __attribute__((visibility("default")))

MUROX_EXT_API int MuroxExtInit(void);
MUROX_EXT_API void MuroxExtTerm(void);

// The symbol names the host looks up.
#define MUROX_EXT_INIT_SYMBOL "MuroxExtInit"
#define MUROX_EXT_TERM_SYMBOL "MuroxExtTerm"

#endif
