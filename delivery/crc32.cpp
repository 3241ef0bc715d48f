#include "delivery/crc32.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ql {

namespace {

constexpr std::uint32_t polynomial = 0xEDB88320u;  // reflected

struct Tables {
    std::uint32_t at[8][256];
};

const Tables& tables() {
    static const Tables t = [] {
        Tables t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? polynomial ^ (c >> 1) : c >> 1;
            t.at[0][i] = c;
        }
        for (int s = 1; s < 8; ++s)
            for (std::uint32_t i = 0; i < 256; ++i) t.at[s][i] = (t.at[s - 1][i] >> 8) ^ t.at[0][t.at[s - 1][i] & 0xFF];
        return t;
    }();
    return t;
}

// On the register itself, not inverted.
std::uint32_t by_tables(std::uint32_t crc, const unsigned char* p, std::size_t len) {
    const auto& T = tables().at;
    for (; len >= 8; len -= 8, p += 8) {
        std::uint32_t lo = crc ^ (p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
        crc = T[7][lo & 0xFF] ^ T[6][(lo >> 8) & 0xFF] ^ T[5][(lo >> 16) & 0xFF] ^ T[4][lo >> 24] ^ T[3][p[4]] ^
              T[2][p[5]] ^ T[1][p[6]] ^ T[0][p[7]];
    }
    for (; len > 0; --len) crc = T[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
// x^n mod P, as a 64-bit lane of carry-less multiplication holds a reflected
// polynomial (bit i stands for x^(63-i)).
std::uint64_t power_lane(unsigned n) {
    std::uint64_t v = 1;  // bit d stands for x^d
    for (unsigned i = 0; i < n; ++i) {
        v <<= 1;
        if (v & (std::uint64_t{1} << 32)) v ^= 0x104C11DB7u;
    }
    std::uint64_t lane = 0;
    for (unsigned d = 0; d < 32; ++d)
        if (v >> d & 1) lane |= std::uint64_t{1} << (63 - d);
    return lane;
}

// Sixteen bytes a step: each block is carried over the next by two
// carry-less products, which the processor does in a few cycles. Of the
// 16-byte block bytes 0-7 stand for the higher powers; a product of two
// reflected lanes comes out multiplied by x once more, so the constants are
// x^(192-1) and x^(128-1).
__attribute__((target("pclmul,sse2"))) std::uint32_t by_products(std::uint32_t crc, const unsigned char* p,
                                                                  std::size_t len) {
    static const __m128i k = _mm_set_epi64x(static_cast<long long>(power_lane(127)),
                                            static_cast<long long>(power_lane(191)));
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    x = _mm_xor_si128(x, _mm_cvtsi32_si128(static_cast<int>(crc)));
    p += 16;
    len -= 16;
    for (; len >= 16; len -= 16, p += 16) {
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
    }
    // What is left sums as the message would: its last sixteen bytes, then the rest.
    unsigned char folded[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), x);
    return by_tables(by_tables(0, folded, 16), p, len);
}

bool has_products() {
    static const bool has = __builtin_cpu_supports("pclmul");
    return has;
}
#endif

}  // namespace

std::uint32_t crc32_tables(std::uint32_t crc, const void* bytes, std::size_t len) {
    return ~by_tables(~crc, static_cast<const unsigned char*>(bytes), len);
}

// Every queued text is summed when it is queued and again when read back from the file.
std::uint32_t crc32(std::uint32_t crc, const void* bytes, std::size_t len) {
#if defined(__x86_64__)
    if (len >= 64 && has_products()) return ~by_products(~crc, static_cast<const unsigned char*>(bytes), len);
#endif
    return crc32_tables(crc, bytes, len);
}

}  // namespace ql
