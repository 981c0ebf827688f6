#pragma once

// The library is built with hidden visibility; only what carries this mark is exported.
#if defined(TARVIK_BUILDING_LIBRARY)
#define TARVIK_EXPORT __attribute__((visibility("default")))
#else
#define TARVIK_EXPORT
#endif
