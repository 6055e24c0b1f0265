#include "download/stream_parts.h"

#include <cstdio>

#include "foundation/util.h"

stream_position stream_position_of(std::int64_t done_size) {
    const std::int64_t part = done_size / stream_part_size;
    return {part, static_cast<std::int32_t>(done_size - part * stream_part_size),
            (part + 1) * stream_part_size};
}

std::string stream_part_path(const char* request_path, std::int64_t part) {
    if (part == 0) {
        return request_path;
    }
    return format_string("%1!s!.%2!d!", request_path, static_cast<std::int32_t>(part + 1));
}

std::string stream_range_header(std::int32_t offset) {
    if (offset == 0) {
        return {};
    }
    char header[40];
    std::snprintf(header, sizeof header, "Range: bytes=%d-", static_cast<int>(offset));
    return header;
}
