// SHA-256 (FIPS 180-4), incremental, with a non-destructive digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessera::kernels {

// A SHA-256 computation in progress; plain value type, copy it to fork the state.
class sha256 {
public:
    using digest_type = std::array<std::uint8_t, 32>;

    // Starts an empty message.
    sha256() noexcept { reset(); }

    // Discards everything absorbed so far.
    void reset() noexcept;

    // Appends `len` bytes to the message.
    void update(const void* data, std::size_t len) noexcept;

    // Appends the bytes of a string to the message.
    void update(std::string_view text) noexcept { update(text.data(), text.size()); }

    // Appends `count` zero bytes to the message.
    void update_zeros(std::uint64_t count) noexcept;

    // Digest of the message absorbed so far; the state is left untouched so
    // that more bytes can be appended afterwards.
    digest_type digest() const noexcept;

    // Number of bytes absorbed so far.
    std::uint64_t length() const noexcept { return length_; }

    // Digest of one whole message.
    static digest_type hash(const void* data, std::size_t len) noexcept;

private:
    void compress(const std::uint8_t* block) noexcept;

    std::uint32_t state_[8];
    std::uint8_t buffer_[64];
    std::uint64_t length_;  // total bytes absorbed; the buffer holds length_ % 64 of them
};

}  // namespace tessera::kernels
