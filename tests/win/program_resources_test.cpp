// The built program's resources, read from the file as the system reads them: the icon
// group with its three sizes at 32 bits per pixel, the manifest that asks for
// administrator rights and the themed common controls, the version information, and
// the About text that the build stamps with its time and revision.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <regex>
#include <set>
#include <string>

#include "resources/about.h"

namespace {

#pragma pack(push, 2)
struct icon_group_entry {
    BYTE width;
    BYTE height;
    BYTE colour_count;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes;
    WORD id;
};
struct icon_group_header {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

class ProgramResources : public ::testing::Test {
  protected:
    void SetUp() override {
        char path[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string program(path, length);
        program = program.substr(0, program.find_last_of('\\') + 1) + "quarryvale-downloader.exe";
        module = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << program << ": " << GetLastError();
    }
    void TearDown() override {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
    std::string resource(LPCSTR type, LPCSTR name) {
        HRSRC found = FindResourceA(module, name, type);
        if (found == nullptr) {
            return {};
        }
        HGLOBAL loaded = LoadResource(module, found);
        const auto* data = static_cast<const char*>(LockResource(loaded));
        return std::string(data, SizeofResource(module, found));
    }
    HMODULE module = nullptr;
};

} // namespace

TEST_F(ProgramResources, IconGroupOneHasSixteenThirtyTwoAndFortyEightPixelsAt32Bits) {
    const std::string group =
        resource(MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */, MAKEINTRESOURCEA(1));
    ASSERT_GE(group.size(), sizeof(icon_group_header));
    const auto* header = reinterpret_cast<const icon_group_header*>(group.data());
    ASSERT_EQ(group.size(), sizeof(icon_group_header) + header->count * sizeof(icon_group_entry));
    std::set<int> sizes;
    for (int i = 0; i < header->count; ++i) {
        const auto* entry =
            reinterpret_cast<const icon_group_entry*>(group.data() + sizeof(icon_group_header)) + i;
        EXPECT_EQ(entry->width, entry->height);
        EXPECT_EQ(entry->bit_count, 32);
        sizes.insert(entry->width);
        // Each image exists and is a 32-bit bitmap of its size.
        const std::string image =
            resource(MAKEINTRESOURCEA(3) /* RT_ICON */, MAKEINTRESOURCEA(entry->id));
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        const auto* bitmap = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
        EXPECT_EQ(bitmap->biWidth, entry->width);
        EXPECT_EQ(bitmap->biBitCount, 32);
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 32, 48}));
}

TEST_F(ProgramResources, ManifestAsksForAdministratorAndCommonControlsSix) {
    const std::string manifest =
        resource(MAKEINTRESOURCEA(24) /* RT_MANIFEST */, MAKEINTRESOURCEA(1));
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    const auto controls = manifest.find("name=\"Microsoft.Windows.Common-Controls\"");
    ASSERT_NE(controls, std::string::npos);
    EXPECT_NE(manifest.find("version=\"6.0.0.0\"", controls), std::string::npos);
}

TEST_F(ProgramResources, VersionInformationNamesTheProgram) {
    const std::string version =
        resource(MAKEINTRESOURCEA(16) /* RT_VERSION */, MAKEINTRESOURCEA(1));
    ASSERT_FALSE(version.empty());
    // The strings are UTF-16; look for the product name in that form.
    std::string wide;
    for (const char c : std::string("Quarryvale Downloader")) {
        wide += c;
        wide += '\0';
    }
    EXPECT_NE(version.find(wide), std::string::npos);
}

TEST(AboutText, HasFiveLinesWithBuildAndRevisionTimesInUtc) {
    const std::regex form("Quarryvale Downloader\n"
                          "Build: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000\n"
                          "Revision: \\d+ \\(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000\\)\n"
                          "[^\n]+\n"
                          "[^\n]+");
    EXPECT_TRUE(std::regex_match(about_text, form)) << about_text;
}
