#include "xdll/MuroxEntry.h"

// The library is compiled against these layouts; check them where it is built.
#include "hostapi/LayoutChecks.h"

extern "C" void MUROX_Init(void) {}

void DbgModRegister() {}
