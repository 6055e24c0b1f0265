// What hashing 32 KB reads costs under this system: the platform's SHA-256 (CNG's
// BCryptHashData into one running hash) against the program's own, on the SHA
// extensions and on plain code. Prints one line per candidate: MB/s and µs per 32 KB, by
// the clock and by the thread's own CPU time (which other load on the machine spares).
#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <vector>

#include "foundation/sha256.h"

namespace {

constexpr ULONG read_size = 32768;
constexpr int reads = 8192; // 256 MB

double thread_seconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>(static_cast<ULONGLONG>(t.dwHighDateTime) << 32 |
                                   t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
}

double seconds_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

double cpu_start = 0;

void report(const char* name, double seconds, const unsigned char* digest) {
    const double mb = static_cast<double>(read_size) * reads / 1e6;
    const double cpu = thread_seconds() - cpu_start;
    std::printf("%-28s clock %6.0f MB/s %7.1f us/32 KB; CPU %6.0f MB/s %7.1f us/32 KB; %02x%02x\n",
                name, mb / seconds, seconds * 1e6 / reads, mb / cpu, cpu * 1e6 / reads, digest[0],
                digest[1]);
}

void platform(const std::vector<unsigned char>& data) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        std::printf("BCryptOpenAlgorithmProvider failed\n");
        return;
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    LARGE_INTEGER start;
    cpu_start = thread_seconds();
    QueryPerformanceCounter(&start);
    for (int i = 0; i < reads; ++i) {
        BCryptHashData(hash, const_cast<unsigned char*>(data.data()), read_size, 0);
    }
    unsigned char digest[32];
    BCryptFinishHash(hash, digest, sizeof digest, 0);
    report("BCryptHashData (platform)", seconds_since(start), digest);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
}

void own(const std::vector<unsigned char>& data, bool extensions) {
    sha256_allow_extensions(extensions);
    if (extensions && !sha256_uses_extensions()) {
        std::printf("own, SHA extensions: this CPU has none\n");
        return;
    }
    sha256_state state;
    sha256_init(state);
    LARGE_INTEGER start;
    cpu_start = thread_seconds();
    QueryPerformanceCounter(&start);
    for (int i = 0; i < reads; ++i) {
        sha256_update(state, data.data(), read_size);
    }
    const sha256_digest digest = sha256_final(state);
    report(extensions ? "own, SHA extensions" : "own, plain C++", seconds_since(start),
           digest.data());
}

} // namespace

int main() {
    std::vector<unsigned char> data(read_size);
    for (ULONG i = 0; i < read_size; ++i) {
        data[i] = static_cast<unsigned char>(i * 131 + 7);
    }
    for (int round = 0; round < 3; ++round) {
        platform(data);
        own(data, true);
        own(data, false);
    }
    return 0;
}
