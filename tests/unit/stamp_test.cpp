// The store's stamping: which values it accepts, finding exactly one token block, a
// round trip through the block, and the tool's promise that the input stays as it is
// and the output is complete or absent.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "resources/token_format.h"
#include "stamp.h"

namespace {

void append(byte_buffer& image, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    image.insert(image.end(), bytes, bytes + size);
}

void append_block(byte_buffer& image, const char* token, const char* product) {
    append(image, QV_TOKEN_MARKER, token_marker_size);
    unsigned char block[token_block_size] = {};
    std::memcpy(block, token, std::strlen(token));
    std::memcpy(block + token_slot_size, product, std::strlen(product));
    append(image, block, sizeof block);
}

// A program-like image: code-ish bytes around one token block in its default state.
byte_buffer sample_image() {
    byte_buffer image;
    for (int i = 0; i < 4096; ++i) {
        image.push_back(static_cast<unsigned char>(i * 37 + 11));
    }
    append_block(image, QV_DEMO_TOKEN, QV_DEMO_PRODUCT);
    for (int i = 0; i < 512; ++i) {
        image.push_back(static_cast<unsigned char>(i * 13));
    }
    return image;
}

// The sample image behind a minimal PE header (PE32+ when wide, else PE32) whose
// security directory (entry 4) holds address and size; cut ends it inside the header.
byte_buffer pe_image(bool wide, std::uint32_t address, std::uint32_t size, std::size_t cut = 0) {
    byte_buffer image(0x200, 0);
    const auto put = [&](std::size_t at, std::uint32_t value) {
        std::memcpy(&image[at], &value, 4);
    };
    const std::size_t pe = 0x80, directories = pe + 24 + (wide ? 112 : 96);
    put(0, 'M' | 'Z' << 8);
    put(0x3C, pe);
    put(pe, 0x00004550); // "PE\0\0"
    put(pe + 24, wide ? 0x20B : 0x10B);
    put(directories - 4, 16);
    put(directories + 32, address);
    put(directories + 36, size);
    const byte_buffer rest = sample_image();
    image.insert(image.end(), rest.begin(), rest.end());
    image.resize(cut ? cut : image.size());
    return image;
}

} // namespace

TEST(StampValues, TokenMustBeEightAsciiLettersOrDigits) {
    EXPECT_EQ(check_token("Ab3dE6g9"), "");
    EXPECT_EQ(check_token("00000000"), "");
    for (const char* bad :
         {"", "Ab3dE6g", "Ab3dE6g9x", "Ab3d-6g9", "Ab3d 6g9", "Ab3d\xc3\xa9g9", "Ab3dE6g\n"}) {
        EXPECT_NE(check_token(bad), "") << bad;
    }
    EXPECT_NE(check_token(std::string("Ab3d\0E6g", 8)), "");
}

TEST(StampValues, ProductMustBeOneToFifteenDecimalDigits) {
    EXPECT_EQ(check_product("7"), "");
    EXPECT_EQ(check_product("123456789012345"), "");
    for (const char* bad : {"", "1234567890123456", "12a", "-1", " 12", "12 ", "+5", "\xd9\xa3"}) {
        EXPECT_NE(check_product(bad), "") << bad;
    }
}

TEST(StampImage, RoundTripWritesTheValuesWhereTheProgramReadsThem) {
    byte_buffer image = sample_image();
    const byte_buffer before = image;
    ASSERT_EQ(stamp_image(image, "Zy98Xw76", "123456789012345"), "");
    block_values values;
    ASSERT_TRUE(read_token_block(image, values));
    EXPECT_EQ(values.token, "Zy98Xw76");
    EXPECT_EQ(values.product, "123456789012345");

    // The program reads the product identifier at a fixed 9 bytes behind the token.
    const block_search block = find_token_block(image);
    ASSERT_TRUE(block.found);
    EXPECT_STREQ(reinterpret_cast<const char*>(image.data() + block.offset), "Zy98Xw76");
    EXPECT_STREQ(reinterpret_cast<const char*>(image.data() + block.offset + 9), "123456789012345");

    // Nothing outside the block changed.
    ASSERT_EQ(image.size(), before.size());
    for (std::size_t i = 0; i < image.size(); ++i) {
        if (i < block.offset || i >= block.offset + token_block_size) {
            ASSERT_EQ(image[i], before[i]) << "byte " << i;
        }
    }
}

TEST(StampImage, AShorterProductLeavesNoTailOfTheLongerOne) {
    byte_buffer image = sample_image();
    ASSERT_EQ(stamp_image(image, "Zy98Xw76", "999999999999999"), "");
    ASSERT_EQ(stamp_image(image, "Ab3dE6g9", "42"), "");
    block_values values;
    ASSERT_TRUE(read_token_block(image, values));
    EXPECT_EQ(values.token, "Ab3dE6g9");
    EXPECT_EQ(values.product, "42");
    const std::size_t product_at = find_token_block(image).offset + token_slot_size;
    for (std::size_t i = 2; i < product_slot_size; ++i) {
        EXPECT_EQ(image[product_at + i], 0) << "product byte " << i;
    }
}

TEST(StampImage, RefusesWithoutTouchingTheImage) {
    struct refusal {
        const char* what;
        byte_buffer image;
        const char* token;
        const char* product;
    };
    byte_buffer none(1000, 'x');
    byte_buffer two = sample_image();
    append_block(two, "Second01", "2");
    byte_buffer cut = sample_image();
    cut.resize(cut.size() - 512 - 3); // the file ends inside the product slot
    byte_buffer marker_without_nul(10, 0);
    append(marker_without_nul, QV_TOKEN_MARKER, token_marker_size - 1);
    append(marker_without_nul, "X", 1);
    marker_without_nul.resize(marker_without_nul.size() + 64);

    const refusal cases[] = {
        {"bad token", sample_image(), "short", "1"},
        {"bad product", sample_image(), "Ab3dE6g9", "1234567890123456"},
        {"no block", none, "Ab3dE6g9", "1"},
        {"two blocks", two, "Ab3dE6g9", "1"},
        {"cut block", cut, "Ab3dE6g9", "1"},
        {"marker not ended", marker_without_nul, "Ab3dE6g9", "1"},
    };
    for (const refusal& c : cases) {
        byte_buffer image = c.image;
        EXPECT_NE(stamp_image(image, c.token, c.product), "") << c.what;
        EXPECT_EQ(image, c.image) << c.what;
    }
}

TEST(StampImage, RefusesASignedProgramAndStampsAnUnsignedOne) {
    for (const byte_buffer& signed_image :
         {pe_image(true, 0x4800, 0x2A8), pe_image(false, 0x4800, 0x2A8), pe_image(true, 0, 8)}) {
        byte_buffer image = signed_image;
        EXPECT_NE(stamp_image(image, "Ab3dE6g9", "1").find("stamped before it is signed"),
                  std::string::npos);
        EXPECT_EQ(image, signed_image);
    }
    for (byte_buffer image : {pe_image(true, 0, 0), pe_image(false, 0, 0)}) {
        EXPECT_EQ(stamp_image(image, "Ab3dE6g9", "1"), "");
    }
    // A header cut off before its directories is no signature.
    EXPECT_FALSE(has_authenticode_signature(pe_image(true, 0x4800, 0x2A8, 0x100)));
}

TEST(StampImage, TwoBlocksAreCountedInTheReason) {
    byte_buffer image = sample_image();
    append_block(image, "Second01", "2");
    EXPECT_NE(find_token_block(image).reason.find("2 token blocks"), std::string::npos);
}

// The tool itself, run as the store runs it.
class StampTool : public ::testing::Test {
  protected:
    void SetUp() override {
        dir =
            std::filesystem::temp_directory_path() /
            ("qv-stamp-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        in = dir / "in.exe";
        out = dir / "out.exe";
        write(in, sample_image());
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static void write(const std::filesystem::path& path, const byte_buffer& data) {
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
    }
    static byte_buffer read(const std::filesystem::path& path) {
        std::ifstream file(path, std::ios::binary);
        return byte_buffer(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    int run(const std::string& args) {
        const std::string command = std::string(QV_STAMP_TOOL) + " " + args + " 2>/dev/null";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Only in.exe and, when expected, out.exe: no temporary file is left behind.
    std::size_t files_in_dir() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                      std::filesystem::directory_iterator()));
    }

    std::filesystem::path dir, in, out;
};

TEST_F(StampTool, WritesAStampedCopyAndLeavesTheInputAlone) {
    ASSERT_EQ(run(in.string() + " " + out.string() + " Ab3dE6g9 31337"), 0);
    EXPECT_EQ(read(in), sample_image());
    block_values values;
    ASSERT_TRUE(read_token_block(read(out), values));
    EXPECT_EQ(values.token, "Ab3dE6g9");
    EXPECT_EQ(values.product, "31337");
    EXPECT_EQ(files_in_dir(), 2u);
}

TEST_F(StampTool, RefusalsExitNonZeroAndWriteNothing) {
    write(dir / "plain.bin", byte_buffer(100, 'x'));
    const std::string refusals[] = {
        in.string() + " " + out.string() + " Ab3dE6g 1",
        in.string() + " " + out.string() + " Ab3dE6g9 12x",
        (dir / "plain.bin").string() + " " + out.string() + " Ab3dE6g9 1",
        (dir / "missing.exe").string() + " " + out.string() + " Ab3dE6g9 1",
        in.string() + " " + out.string() + " Ab3dE6g9",
    };
    for (const std::string& args : refusals) {
        EXPECT_NE(run(args), 0) << args;
        EXPECT_FALSE(std::filesystem::exists(out)) << args;
        EXPECT_EQ(files_in_dir(), 2u) << args;
    }
    EXPECT_EQ(read(in), sample_image());
}

TEST_F(StampTool, RefusesToOverwriteItsInput) {
    EXPECT_NE(run(in.string() + " " + in.string() + " Ab3dE6g9 5"), 0);
    EXPECT_EQ(read(in), sample_image());
}

TEST_F(StampTool, AFailedRunLeavesAnEarlierOutputWhole) {
    ASSERT_EQ(run(in.string() + " " + out.string() + " Ab3dE6g9 5"), 0);
    const byte_buffer first = read(out);
    EXPECT_NE(run(in.string() + " " + out.string() + " bad 5"), 0);
    EXPECT_EQ(read(out), first);
}
