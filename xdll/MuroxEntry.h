// The library's entry points. Neither is needed: everything the library
// offers is in place once its static initialisers have run. The host may
// call either at any time, any number of times.
#ifndef XDLL_MUROXENTRY_H
#define XDLL_MUROXENTRY_H

#include "murox/MuroxExport.h"

extern "C" MUROX_API void MUROX_Init(void);

MUROX_API void DbgModRegister();

#endif
