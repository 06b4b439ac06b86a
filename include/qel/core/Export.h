#ifndef QEL_CORE_EXPORT_H_
#define QEL_CORE_EXPORT_H_

// The library is built with hidden visibility; QEL_API marks the classes,
// functions and data that callers of libqelcore may use.
#if defined(__GNUC__) || defined(__clang__)
#define QEL_API __attribute__((visibility("default")))
#else
#define QEL_API
#endif

#endif  // QEL_CORE_EXPORT_H_
