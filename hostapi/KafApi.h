// Visibility of the host framework's and the registry's symbols.
//
// The daemon supplies these symbols when it loads libMUROX; the library is
// built with hidden visibility, so every host declaration must say "default"
// explicitly, or the library's references to them would be bound inside the
// library and fail to link.
#ifndef HOSTAPI_KAFAPI_H
#define HOSTAPI_KAFAPI_H

#define KAF_API __attribute__((visibility("default")))

#endif
