// Where a byte of the product stream lives on the download server. The stream (the
// product's files one after another) is served in parts of exactly 2,000,000,000 bytes,
// so that every range offset fits a signed 32-bit number.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::int64_t stream_part_size = 2'000'000'000;

struct stream_position {
    std::int64_t part;     // counted from 0
    std::int32_t offset;   // within the part, 0 to 1,999,999,999
    std::int64_t part_end; // stream position just past the part
};

stream_position stream_position_of(std::int64_t done_size);

// The first part (0) lies at the stream's path, part k at the path followed by "." and k + 1.
std::string stream_part_path(const char* request_path, std::int64_t part);

// The extra request header for a start inside a part, or "" for none.
std::string stream_range_header(std::int32_t offset);

// A ranged request must be answered with its range, anything else with the whole part.
inline std::uint32_t expected_status(std::int32_t offset) {
    return offset != 0 ? 206 : 200;
}
