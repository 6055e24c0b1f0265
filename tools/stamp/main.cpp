// quarryvale-stamp: writes a copy of a built program that carries one buyer's sign-in
// token and the product identifier. The store runs it once per copy, before any code
// signing (stamping changes the file's bytes and would break a signature), so it refuses
// a program that is already signed. tools/store/make-copy does both in that order.
//
// The input is never modified, and the output appears complete or not at all: it is
// written to a temporary file beside it, flushed to disk and then renamed into place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "stamp.h"

namespace {

int refuse(const std::string& reason) {
    std::fprintf(stderr, "quarryvale-stamp: %s\n", reason.c_str());
    return 1;
}

bool read_file(const char* path, byte_buffer& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Writes data to a new temporary file in the directory of path and renames it to path.
std::string write_file_atomically(const std::string& path, const byte_buffer& data, mode_t mode) {
    const std::filesystem::path target(path);
    const std::filesystem::path dir =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    std::string temp = (dir / ".quarryvale-stamp-XXXXXX").string();
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        return "cannot create a temporary file in " + dir.string() + ": " + std::strerror(errno);
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const std::string reason =
                std::string("cannot write ") + temp + ": " + std::strerror(n < 0 ? errno : EIO);
            close(fd);
            unlink(temp.c_str());
            return reason;
        }
        done += static_cast<std::size_t>(n);
    }
    if (fchmod(fd, mode) != 0 || fsync(fd) != 0 || close(fd) != 0) {
        const std::string reason = "cannot finish " + temp + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return reason;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string reason =
            "cannot rename " + temp + " to " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return reason;
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: quarryvale-stamp IN.exe OUT.exe TOKEN PRODUCT\n"
                             "  TOKEN: 8 ASCII letters or digits; PRODUCT: 1 to 15 digits\n");
        return 2;
    }
    const char* in_path = argv[1];
    const std::string out_path = argv[2];
    for (const std::string& reason : {check_token(argv[3]), check_product(argv[4])}) {
        if (!reason.empty()) {
            return refuse(reason);
        }
    }

    std::error_code same_error;
    if (std::filesystem::equivalent(in_path, out_path, same_error)) {
        return refuse("OUT must be another file than IN; IN is never modified");
    }
    struct stat in_stat {};
    if (stat(in_path, &in_stat) != 0 || !S_ISREG(in_stat.st_mode)) {
        return refuse(std::string("cannot read ") + in_path + ": not a regular file");
    }
    byte_buffer image;
    if (!read_file(in_path, image)) {
        return refuse(std::string("cannot read ") + in_path);
    }
    std::string reason = stamp_image(image, argv[3], argv[4]);
    if (!reason.empty()) {
        return refuse(reason + " (" + in_path + ")");
    }
    reason = write_file_atomically(out_path, image, in_stat.st_mode & 0777);
    if (!reason.empty()) {
        return refuse(reason);
    }
    return 0;
}
