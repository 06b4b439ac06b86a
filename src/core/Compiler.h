#ifndef QEL_SRC_CORE_COMPILER_H_
#define QEL_SRC_CORE_COMPILER_H_

// What the library asks of the compiler beyond the language, in one place,
// with a plain fallback for a compiler that has none of it.

#if defined(__GNUC__) || defined(__clang__)
// Inlined even where the compiler's own measure would decline: the inner
// loops of the cipher and the date texts depend on it.
#define QEL_ALWAYS_INLINE inline __attribute__((always_inline))
// Starts fetching the cache line at address; a hint that never faults.
#define QEL_PREFETCH(address) __builtin_prefetch(address)
// Makes value opaque to the optimiser, which then computes it as written
// instead of regrouping the operations around it.
#define QEL_OPAQUE(value) __asm__("" : "+r"(value))
// Keeps a class nested in an exported one out of the library's exported
// symbols, which it would otherwise share with its enclosing class.
#define QEL_INTERNAL __attribute__((visibility("hidden")))
#else
#define QEL_ALWAYS_INLINE inline
#define QEL_PREFETCH(address) ((void)(address))
#define QEL_OPAQUE(value) ((void)(value))
#define QEL_INTERNAL
#endif

// Set when the compiler is known to target a little-endian machine and to
// offer __builtin_bswap64 and __builtin_ctzll.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define QEL_LITTLE_ENDIAN_BUILTINS 1
#endif

#endif  // QEL_SRC_CORE_COMPILER_H_
