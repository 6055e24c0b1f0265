// SHA-256 (FIPS 180-4), kept as a running state so that a file's bytes can be hashed as
// they are written, across attempts, without reading them back. The compression runs on
// the CPU's SHA extensions where it has them and in plain C++ otherwise; both give the
// same digest, and the tests hold both to the standard vectors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct sha256_state {
    std::uint32_t h[8];
    std::uint64_t length; // bytes hashed so far
    std::uint8_t block[64];
};

using sha256_digest = std::array<std::uint8_t, 32>;

void sha256_init(sha256_state& state);
void sha256_update(sha256_state& state, const void* data, std::size_t size);
// The digest of everything hashed so far; the state itself goes on unchanged.
sha256_digest sha256_final(const sha256_state& state);

// Test and bench seams: whether the SHA extensions are used, and forcing the plain
// code even where they exist (false) or back to the CPU's choice (true).
bool sha256_uses_extensions();
void sha256_allow_extensions(bool allow);
