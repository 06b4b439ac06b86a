#ifndef QEL_CORE_HASHCODE_H_
#define QEL_CORE_HASHCODE_H_

#include <string>

#include "qel/core/Export.h"

namespace qel {

// Fixed, platform-independent hash functions; callers may store the values.
// All arithmetic wraps in two's complement.
class QEL_API CHashCode {
 public:
  // FNV-1a of text chained onto the hash start (start -1 with a non-empty
  // text is the plain FNV-1a hash).
  static int createHash(int start, const std::string& text);
  // Folds bytes 0-2 of first, bytes 0-3 of second and the sign of second
  // with h = 21 * h + term.
  static int combineHash(int first, int second);
  // hash = hash * 33 + byte for each byte; bytes may be null when length is 0.
  static long long addToHashCode(unsigned char* bytes, unsigned int length, long long hash);
  // As addToHashCode, then one more multiplication by 33.
  static long long addToHashCodeFinal(unsigned char* bytes, unsigned int length, long long hash);
};

}  // namespace qel

#endif  // QEL_CORE_HASHCODE_H_
