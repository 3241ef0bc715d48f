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

std::size_t hidden_path(char out[hidden_path_max + 1], const char* prefix, const char* name, const char** base) {
    std::size_t prefix_len = strnlen(prefix, path_max);
    std::size_t dir_len = prefix_len;
    while (dir_len > 0 && prefix[dir_len - 1] != '/') --dir_len;
    std::size_t name_len = strnlen(name, hidden_name_max);
    std::memcpy(out, prefix, dir_len);
    out[dir_len] = '.';
    std::memcpy(out + dir_len + 1, prefix + dir_len, prefix_len - dir_len);
    std::memcpy(out + prefix_len + 1, name, name_len);
    out[prefix_len + 1 + name_len] = '\0';
    if (base != nullptr) *base = out + dir_len;
    return prefix_len + 1 + name_len;
}

}  // namespace ql
