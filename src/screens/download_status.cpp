#include "screens/download_status.h"

#include <algorithm>
#include <cstdio>

#include "foundation/util.h"

void prefix_format(char* buffer, std::int64_t count) {
    constexpr std::size_t size = 16;
    if (count < 1000) {
        std::snprintf(buffer, size, "%d B", static_cast<int>(static_cast<std::int32_t>(count)));
    } else if (count < 1'000'000) {
        std::snprintf(buffer, size, "%.2f kB", static_cast<double>(count) / 1e3);
    } else if (count < 1'000'000'000) {
        std::snprintf(buffer, size, "%.2f MB", static_cast<double>(count) / 1e6);
    } else {
        // A count past a terabyte would not fit the line: cut it to nine characters.
        std::snprintf(buffer, 10, "%.2f GB", static_cast<double>(count) / 1e9);
    }
}

std::string progress_text(std::int64_t done, std::int64_t total) {
    char done_text[16];
    char total_text[16];
    prefix_format(done_text, done);
    prefix_format(total_text, total);
    const double percent =
        total > 0 ? static_cast<double>(done) * 100.0 / static_cast<double>(total) : 100.0;
    char text[50];
    std::snprintf(text, sizeof text, " %s of %s done (%.1f%%).", done_text, total_text, percent);
    return text;
}

std::string time_left_text(std::int64_t done, std::int64_t total, std::int32_t rate) {
    if (rate == 0) {
        return "Unknown time";
    }
    const std::int64_t seconds = (total - done) / rate;
    char text[13];
    std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

std::int32_t rate_since_oldest(const rate_history& history, std::int64_t done, std::uint32_t now) {
    if (history.length == 0) {
        return 0;
    }
    const int oldest = (history.offset - history.length + history_slots) % history_slots;
    // Tick counts wrap after 49 days; unsigned subtraction keeps the difference right.
    const std::uint32_t elapsed = now - history.times[oldest];
    if (elapsed == 0) {
        return 0;
    }
    return static_cast<std::int32_t>((done - history.bytes_done[oldest]) * 1000 /
                                     static_cast<std::int64_t>(elapsed));
}

void record_sample(rate_history& history, std::int64_t done, std::uint32_t time) {
    if (history.length < history_slots) {
        ++history.length;
    }
    history.bytes_done[history.offset] = done;
    history.times[history.offset] = time;
    history.offset = (history.offset + 1) % history_slots;
}

std::string status_line(const char* status, std::int64_t done, std::int64_t total,
                        std::int32_t rate) {
    const std::string progress = progress_text(done, total);
    if (status != nullptr) {
        return format_string("%1!s!%2!s!", status, progress);
    }
    char rate_text[16];
    prefix_format(rate_text, rate);
    return format_string("Downloading at %1!s!/s.%2!s! %3!s! remaining.", rate_text, progress,
                         time_left_text(done, total, rate));
}

int bar_position(std::int64_t done, std::int64_t total) {
    if (total <= 0) {
        return 65535; // nothing to fetch is all there
    }
    return static_cast<int>(std::min(done, total) * 65535 / total);
}

download_layout layout_for(int h) {
    download_layout l{};
    l.title_y = 44;
    l.title_height = h * 3 / 2;
    l.status_y = 125 - 4 * h;
    l.bar_y = l.status_y + h + 6;
    l.bar_height = 2 * h;
    l.buttons_y = l.bar_y + 2 * h + 6;
    l.button_height = h + 14;
    return l;
}
