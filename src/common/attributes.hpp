#pragma once
// Compiler attributes that not every compiler knows by the same spelling.

// Force inlining where a measured hot path needs it: GCC and Clang by attribute, MSVC by
// keyword; another compiler gets the hint alone.
#if defined(__GNUC__) || defined(__clang__)
#define QUILLET_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define QUILLET_ALWAYS_INLINE __forceinline
#else
#define QUILLET_ALWAYS_INLINE inline
#endif
