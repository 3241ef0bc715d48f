#include "common/prefix.hpp"

#include <cstring>

namespace ql {

const char* prefix_directory(const char* prefix, char out[prefix_directory_max + 1]) {
    std::size_t len = strnlen(prefix, path_max);
    while (len > 0 && prefix[len - 1] != '/') --len;
    if (len > 1) --len;  // "/var/lib/qlfwd/" is named "/var/lib/qlfwd"; "/" stays
    if (len == 0) return std::strcpy(out, ".");
    std::memcpy(out, prefix, len);
    out[len] = '\0';
    return out;
}

}  // namespace ql
