#include "state/archive.hpp"

#include <limits>

namespace kavro::state {

bool valid_bucket_count(std::size_t n) {
    if (n == 1) return true;  // an empty table that never grew
#if defined(__GLIBCXX__)
    if (n == 0 || n > (std::numeric_limits<std::size_t>::max() >> 4)) return false;
    std::__detail::_Prime_rehash_policy policy;
    return policy._M_next_bkt(n) == n;
#else
    return n > 0;
#endif
}

}  // namespace kavro::state
