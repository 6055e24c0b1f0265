// The per-file hash table of a product whose store gave hashes.
#include "download/file_hashes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

std::vector<file_hash> published_hashes(const product_specification& product) {
    std::vector<file_hash> table;
    if (!product.has_hashes) {
        return table;
    }
    product_file_cursor cursor(product);
    product_file file;
    while (cursor.next(file)) {
        file_hash& entry = table.emplace_back();
        restart_hash(entry);
        read_sha256_digits(file.sha256, entry.published); // the parse has checked them
    }
    return table;
}

void restart_hash(file_hash& file) {
    sha256_init(file.running);
    file.matches = false;
}

bool running_hash_matches(const file_hash& file) {
    const sha256_digest digest = sha256_final(file.running);
    return std::memcmp(digest.data(), file.published, digest.size()) == 0;
}

std::string checking_text(std::int64_t checked, std::int64_t total) {
    const std::int64_t percent =
        total > 0 ? std::clamp<std::int64_t>(checked * 100 / total, 0, 100) : 100;
    char text[64];
    std::snprintf(text, sizeof text, "Checking downloaded files (%d%%)...",
                  static_cast<int>(percent));
    return text;
}
