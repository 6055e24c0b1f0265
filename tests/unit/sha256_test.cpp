// The hash against the standard vectors, on the SHA extensions (where the CPU has them)
// and on the plain code, and fed in pieces of every awkward size.
#include "foundation/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const sha256_digest& digest) {
    std::string text;
    for (const std::uint8_t byte : digest) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        text += two;
    }
    return text;
}

std::string hash_of(const std::string& message, std::size_t piece) {
    sha256_state state;
    sha256_init(state);
    for (std::size_t at = 0; at < message.size(); at += piece) {
        sha256_update(state, message.data() + at, std::min(piece, message.size() - at));
    }
    return hex(sha256_final(state));
}

class Sha256 : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override { sha256_allow_extensions(GetParam()); }
    void TearDown() override { sha256_allow_extensions(true); }
};

TEST_P(Sha256, MatchesTheStandardVectors) {
    const std::string million(1000000, 'a');
    const struct {
        std::string message;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{55}, std::size_t{64},
                                        std::size_t{65}, std::size_t{32768}}) {
            if (piece == 1 && v.message.size() > 1000) {
                continue; // a million calls add nothing but time
            }
            EXPECT_EQ(hash_of(v.message, piece), v.digest)
                << v.message.size() << " bytes in pieces of " << piece;
        }
    }
}

TEST_P(Sha256, TheDigestLeavesTheRunningStateAsItWas) {
    sha256_state state;
    sha256_init(state);
    sha256_update(state, "ab", 2);
    EXPECT_EQ(hex(sha256_final(state)),
              "fb8e20fc2e4c3f248c60c39bd652f3c1347298bb977b8b4d5903b85055620603");
    sha256_update(state, "c", 1);
    EXPECT_EQ(hex(sha256_final(state)),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

INSTANTIATE_TEST_SUITE_P(Extensions, Sha256, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Cpu" : "Plain"; });

} // namespace
