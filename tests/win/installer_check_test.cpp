// The installer's last check (download/disk_check.cpp) on real files under Wine: the
// bytes read through the handle that holds the installer, just before it starts, against
// what the store published, whatever the download saw of them earlier. Stand-ins for the
// download screen, which the check never reaches here.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "download/product.h"
#include "download/state.h"
#include "foundation/sha256.h"
#include "notice_guard.h"

bool screen_open = false;
HWND pause_button = nullptr;
void set_status(const char*, bool) {}
void make_status_text() {}

namespace {

std::string hex_sha256(const std::string& bytes) {
    sha256_state state;
    sha256_init(state);
    sha256_update(state, bytes.data(), bytes.size());
    std::string text;
    for (const std::uint8_t byte : sha256_final(state)) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

// The store's answer for a list of (name, bytes), with each file's hash if hashed. The
// buffer is kept for the rest of the run, as the download keeps its own.
bool read_list(const std::vector<std::pair<std::string, std::string>>& files, bool hashed) {
    static constexpr char head[] = "quarryvale\0ok\0Quarry Quest\0setup.exe\0localhost/p";
    std::string body(head, sizeof head - 1);
    for (const auto& [name, bytes] : files) {
        body += '\0' + name + '\0' + std::to_string(bytes.size());
        if (hashed) {
            body += std::string("\0sha256:", 8) + hex_sha256(bytes);
        }
    }
    auto* kept = new std::vector<char>(body.begin(), body.end());
    kept->push_back('\0');
    return read_product(kept->data(), body.size());
}

class InstallerCheck : public testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        path = std::wstring(temp) + L"qv-launch-" + std::to_wstring(GetCurrentProcessId());
        write(published);
    }
    void TearDown() override { DeleteFileW(path.c_str()); }

    void write(const std::string& bytes) {
        const HANDLE h =
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(
            WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        CloseHandle(h);
    }

    // The check as the launch makes it: through a handle that reads and lets others read
    // only, from wherever the handle stands.
    bool held_check() {
        const HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(held, INVALID_HANDLE_VALUE);
        LARGE_INTEGER middle{};
        middle.QuadPart = 5;
        SetFilePointerEx(held, middle, nullptr, FILE_BEGIN);
        const bool matches = download_installer_matches(held);
        CloseHandle(held);
        return matches;
    }

    // The download saw these bytes whole and matching: its running hash is complete.
    static void downloaded_whole(std::size_t index, const std::string& bytes) {
        file_hash& entry = hashes[index];
        sha256_update(entry.running, bytes.data(), bytes.size());
        ASSERT_TRUE(running_hash_matches(entry));
        entry.matches = true;
    }

    // Bigger than one read of the check, so that a change near the end is read too.
    const std::string published = [] {
        std::string bytes(3 << 20, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(i * 7 % 251);
        }
        return bytes;
    }();
    std::wstring path;
};

TEST_F(InstallerCheck, StartsOnlyTheBytesTheStorePublishedAsLaunch) {
    ASSERT_TRUE(read_list({{"data/a.bin", "abc"}, {"launch", published}}, true));
    downloaded_whole(1, published);
    EXPECT_TRUE(held_check());

    // Changed after the download, at the same size: the download's own verdict no
    // longer counts, only what the held handle reads.
    std::string changed = published;
    changed[changed.size() - 2] ^= 0x20;
    write(changed);
    EXPECT_FALSE(held_check());
    changed[changed.size() - 2] ^= 0x20;
    changed[0] ^= 1;
    write(changed);
    EXPECT_FALSE(held_check());
    // Longer, or shorter, than published.
    write(published + "x");
    EXPECT_FALSE(held_check());
    write(published.substr(0, published.size() - 1));
    EXPECT_FALSE(held_check());
    write(published);
    EXPECT_TRUE(held_check());

    // The name as Windows compares it.
    ASSERT_TRUE(read_list({{"LAUNCH", published}}, true));
    EXPECT_TRUE(held_check());
}

TEST_F(InstallerCheck, WithHashesALaunchTheListDoesNotNameNeverStarts) {
    // A launch file left on disk, which the store vouched for nothing of.
    ASSERT_TRUE(read_list({{"data/a.bin", "abc"}, {"setup/launch", published}}, true));
    EXPECT_FALSE(held_check());
    // Without hashes nothing checks the bytes, as before.
    ASSERT_TRUE(read_list({{"data/a.bin", "abc"}}, false));
    EXPECT_TRUE(held_check());
}

} // namespace
