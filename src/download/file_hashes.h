// What the store vouched for, file by file, and how far each file's bytes have been
// hashed. One entry per listed file, in list order, kept for the whole run of the
// program: bytes hashed once, as they were written or when the resume scan read them,
// are never read again by a later attempt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "download/product_list.h"
#include "foundation/sha256.h"

struct file_hash {
    sha256_state running; // over the file's first running.length bytes as on disk
    std::uint8_t published[32];
    bool matches = false; // complete, and its digest is the published one
    int mismatches = 0;   // complete with other bytes, this run
};

// The table for an accepted list; empty when the store gave no hashes.
std::vector<file_hash> published_hashes(const product_specification& product);

// Starts the file's hash over, as for an empty file.
void restart_hash(file_hash& file);

// True when the running hash, taken as the whole file, is the published digest.
bool running_hash_matches(const file_hash& file);

// The status line while the resume scan reads files already on disk.
std::string checking_text(std::int64_t checked, std::int64_t total);
