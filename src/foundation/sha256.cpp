// SHA-256 written from FIPS 180-4. Under Wine the platform's hash runs at about a sixth
// of what the SHA extensions give, and a download hands every 32 KB to it, so the
// program carries its own: the extensions' round instructions where cpuid offers them,
// FIPS 180-4's plain rounds otherwise.
#include "foundation/sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define QV_SHA256_EXTENSIONS 1
#endif

namespace {

constexpr std::uint32_t k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

std::uint32_t load_be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

// FIPS 180-4's compression in plain code, one 64-byte block at a time.
void compress_plain(std::uint32_t h[8], const std::uint8_t* data, std::size_t blocks) {
    for (; blocks != 0; --blocks, data += 64) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t) {
            w[t] = load_be32(data + 4 * t);
        }
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6],
                      hh = h[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t t1 =
                hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[t] + w[t];
            const std::uint32_t t2 =
                (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += hh;
    }
}

#ifdef QV_SHA256_EXTENSIONS

// The same compression on the SHA extensions. The round instruction keeps the working
// variables as two halves, ABEF and CDGH, and does two rounds per call; the message
// instructions extend the schedule four words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void
compress_extensions(std::uint32_t h[8], const std::uint8_t* data, std::size_t blocks) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks != 0; --blocks, data += 64) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        __m128i w[4];
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            __m128i words;
            if (group < 4) {
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)),
                    byte_swap);
            } else {
                // W[g] from W[g-4] .. W[g-1], four words at once.
                __m128i t = _mm_sha256msg1_epu32(w[group % 4], w[(group + 1) % 4]);
                t = _mm_add_epi32(t, _mm_alignr_epi8(w[(group + 3) % 4], w[(group + 2) % 4], 4));
                words = _mm_sha256msg2_epu32(t, w[(group + 3) % 4]);
            }
            w[group % 4] = words;
            __m128i sum = _mm_add_epi32(
                words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&k[4 * group])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, sum);
            sum = _mm_shuffle_epi32(sum, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, sum);
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[4]), hgfe);
}

bool cpu_has_extensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) {
        return false;
    }
    const bool ssse3 = (c & (1u << 9)) != 0;
    const bool sse41 = (c & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) {
        return false;
    }
    return ssse3 && sse41 && (b & (1u << 29)) != 0;
}

#else

bool cpu_has_extensions() {
    return false;
}

#endif

using compress_function = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);

compress_function chosen(bool allow_extensions) {
#ifdef QV_SHA256_EXTENSIONS
    if (allow_extensions && cpu_has_extensions()) {
        return compress_extensions;
    }
#endif
    (void)allow_extensions;
    return compress_plain;
}

// Chosen before main, while one thread runs.
compress_function compress = chosen(true);

} // namespace

void sha256_init(sha256_state& state) {
    static constexpr std::uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state.h, initial, sizeof initial);
    state.length = 0;
}

void sha256_update(sha256_state& state, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t held = static_cast<std::size_t>(state.length % 64);
    state.length += size;
    if (held != 0) {
        const std::size_t take = size < 64 - held ? size : 64 - held;
        std::memcpy(state.block + held, bytes, take);
        bytes += take;
        size -= take;
        held += take;
        if (held < 64) {
            return;
        }
        compress(state.h, state.block, 1);
    }
    compress(state.h, bytes, size / 64);
    std::memcpy(state.block, bytes + size / 64 * 64, size % 64);
}

sha256_digest sha256_final(const sha256_state& running) {
    sha256_state state = running;
    const std::uint64_t bits = state.length * 8;
    std::uint8_t tail[72] = {0x80};
    const std::size_t held = static_cast<std::size_t>(state.length % 64);
    // The 0x80 byte, zeros up to 56 mod 64, and the length in bits, big-endian.
    const std::size_t pad = (held < 56 ? 56 : 120) - held;
    for (int i = 0; i < 8; ++i) {
        tail[pad + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    sha256_update(state, tail, pad + 8);
    sha256_digest digest;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[static_cast<std::size_t>(4 * i + j)] =
                static_cast<std::uint8_t>(state.h[i] >> (24 - 8 * j));
        }
    }
    return digest;
}

bool sha256_uses_extensions() {
    return compress != compress_plain;
}

void sha256_allow_extensions(bool allow) {
    compress = chosen(allow);
}
