// The token block in a real Windows executable: the default build carries the demo
// values, the file holds exactly one block, and a stamped copy reads its stamped values,
// which proves that no value was folded into the code at build time.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "resources/token_block.h"
#include "resources/token_format.h"
#include "stamp.h"

namespace {

std::string directory_of_this_program() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string result(path, length);
    return result.substr(0, result.find_last_of('\\') + 1);
}

byte_buffer read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return byte_buffer(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const byte_buffer& data) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

// Runs a console program and returns its output; fails the test after 20 s.
std::string run_and_read(const std::string& program) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed";
        return {};
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process{};
    std::string command = "\"" + program + "\"";
    const BOOL started = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(write_end);
    std::string output;
    if (!started) {
        ADD_FAILURE() << "cannot start " << program << ": " << GetLastError();
    } else {
        if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << program << " did not end within 20 s";
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
        }
        char buffer[256];
        DWORD got = 0;
        while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            output.append(buffer, got);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(read_end);
    return output;
}

} // namespace

TEST(TokenBlock, DefaultBuildCarriesTheDemoValuesInTheFixedLayout) {
    EXPECT_STREQ(cookie, QV_DEMO_TOKEN);
    EXPECT_EQ(std::strlen(cookie), 8u);
    EXPECT_STREQ(product_identifier(), QV_DEMO_PRODUCT);
    EXPECT_EQ(product_identifier(), cookie + 9);
}

TEST(TokenBlock, ProgramFileHoldsExactlyOneBlock) {
    const byte_buffer image = read_file(directory_of_this_program() + "token_probe.exe");
    ASSERT_FALSE(image.empty());
    const block_search block = find_token_block(image);
    ASSERT_TRUE(block.found) << block.reason;
    block_values values;
    ASSERT_TRUE(read_token_block(image, values));
    EXPECT_EQ(values.token, QV_DEMO_TOKEN);
    EXPECT_EQ(values.product, QV_DEMO_PRODUCT);
}

TEST(TokenBlock, StampedCopiesRunWithTheirOwnValues) {
    const std::string dir = directory_of_this_program();
    const byte_buffer original = read_file(dir + "token_probe.exe");
    ASSERT_EQ(run_and_read(dir + "token_probe.exe"), QV_DEMO_TOKEN " " QV_DEMO_PRODUCT);

    struct stamp_case {
        const char* token;
        const char* product;
    };
    const stamp_case cases[] = {{"Ab3dE6g9", "123456789012345"}, {"ZZZZ0000", "7"}};
    for (const stamp_case& c : cases) {
        byte_buffer image = original;
        ASSERT_EQ(stamp_image(image, c.token, c.product), "");
        const std::string copy = dir + "token_probe_stamped.exe";
        write_file(copy, image);
        EXPECT_EQ(run_and_read(copy), std::string(c.token) + " " + c.product);
        DeleteFileA(copy.c_str());
    }
}
