#include "kernels/sha256.hpp"

#include <cstring>

namespace tessera::kernels {

namespace {

constexpr std::uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2,
};

constexpr std::uint32_t initial_state[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

inline std::uint32_t rotr(std::uint32_t v, unsigned s) { return (v >> s) | (v << (32 - s)); }

inline std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
           (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

void sha256::reset() noexcept {
    std::memcpy(state_, initial_state, sizeof state_);
    std::memset(buffer_, 0, sizeof buffer_);
    length_ = 0;
}

// The 64 rounds, unrolled eight at a time so that the working variables rotate
// by renaming instead of by moves. Rounds 16..63 extend the message schedule in
// a 16-word ring as they go.
#define TESSERA_SHA256_ROUND(a, b, c, d, e, f, g, h, i, wi)                               \
    do {                                                                               \
        const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) +          \
                                 (g ^ (e & (f ^ g))) + round_constants[i] + (wi);      \
        const std::uint32_t t2 =                                                       \
            (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));      \
        d += t1;                                                                       \
        h = t1 + t2;                                                                   \
    } while (0)

#define TESSERA_SHA256_EIGHT(i, W)                                                      \
    do {                                                                               \
        TESSERA_SHA256_ROUND(a, b, c, d, e, f, g, h, (i) + 0, W((i) + 0));               \
        TESSERA_SHA256_ROUND(h, a, b, c, d, e, f, g, (i) + 1, W((i) + 1));               \
        TESSERA_SHA256_ROUND(g, h, a, b, c, d, e, f, (i) + 2, W((i) + 2));               \
        TESSERA_SHA256_ROUND(f, g, h, a, b, c, d, e, (i) + 3, W((i) + 3));               \
        TESSERA_SHA256_ROUND(e, f, g, h, a, b, c, d, (i) + 4, W((i) + 4));               \
        TESSERA_SHA256_ROUND(d, e, f, g, h, a, b, c, (i) + 5, W((i) + 5));               \
        TESSERA_SHA256_ROUND(c, d, e, f, g, h, a, b, (i) + 6, W((i) + 6));               \
        TESSERA_SHA256_ROUND(b, c, d, e, f, g, h, a, (i) + 7, W((i) + 7));               \
    } while (0)

#define TESSERA_SHA256_LOADED(i) w[i]
#define TESSERA_SHA256_EXTENDED(i) extend(w, (i)&15)

namespace {

// w[i] for round i >= 16, stored over w[i - 16] in the ring.
inline std::uint32_t extend(std::uint32_t* w, unsigned j) {
    const std::uint32_t w15 = w[(j + 1) & 15], w2 = w[(j + 14) & 15];
    return w[j] += (rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3)) + w[(j + 9) & 15] +
                   (rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10));
}

}  // namespace

void sha256::compress(const std::uint8_t* block) noexcept {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    TESSERA_SHA256_EIGHT(0, TESSERA_SHA256_LOADED);
    TESSERA_SHA256_EIGHT(8, TESSERA_SHA256_LOADED);
    TESSERA_SHA256_EIGHT(16, TESSERA_SHA256_EXTENDED);
    TESSERA_SHA256_EIGHT(24, TESSERA_SHA256_EXTENDED);
    TESSERA_SHA256_EIGHT(32, TESSERA_SHA256_EXTENDED);
    TESSERA_SHA256_EIGHT(40, TESSERA_SHA256_EXTENDED);
    TESSERA_SHA256_EIGHT(48, TESSERA_SHA256_EXTENDED);
    TESSERA_SHA256_EIGHT(56, TESSERA_SHA256_EXTENDED);
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

#undef TESSERA_SHA256_EXTENDED
#undef TESSERA_SHA256_LOADED
#undef TESSERA_SHA256_EIGHT
#undef TESSERA_SHA256_ROUND

void sha256::update(const void* data, std::size_t len) noexcept {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t used = static_cast<std::size_t>(length_ % 64);
    length_ += len;
    if (used != 0) {
        const std::size_t take = len < 64 - used ? len : 64 - used;
        std::memcpy(buffer_ + used, p, take);
        p += take;
        len -= take;
        used += take;
        if (used < 64) return;
        compress(buffer_);
    }
    for (; len >= 64; p += 64, len -= 64) compress(p);
    if (len != 0) std::memcpy(buffer_, p, len);
}

void sha256::update_zeros(std::uint64_t count) noexcept {
    std::size_t used = static_cast<std::size_t>(length_ % 64);
    length_ += count;
    while (count != 0) {
        const std::size_t take = count < 64 - used ? static_cast<std::size_t>(count) : 64 - used;
        std::memset(buffer_ + used, 0, take);
        used += take;
        count -= take;
        if (used == 64) {
            compress(buffer_);
            used = 0;
        }
    }
}

sha256::digest_type sha256::digest() const noexcept {
    sha256 tail = *this;
    const std::size_t used = static_cast<std::size_t>(length_ % 64);
    tail.buffer_[used] = 0x80;
    std::memset(tail.buffer_ + used + 1, 0, 63 - used);
    if (used >= 56) {  // no room for the length field in this block
        tail.compress(tail.buffer_);
        std::memset(tail.buffer_, 0, 56);
    }
    const std::uint64_t bits = length_ * 8;
    for (int i = 0; i < 8; ++i)
        tail.buffer_[56 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    tail.compress(tail.buffer_);
    digest_type out;
    for (int i = 0; i < 8; ++i) store_be32(out.data() + 4 * i, tail.state_[i]);
    return out;
}

sha256::digest_type sha256::hash(const void* data, std::size_t len) noexcept {
    sha256 h;
    h.update(data, len);
    return h.digest();
}

}  // namespace tessera::kernels
