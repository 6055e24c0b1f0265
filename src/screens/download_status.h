// The download screen's status line and layout: pure functions of what the screen
// knows, so that the texts can be checked without a window.
#pragma once

#include <cstdint>
#include <string>

// Writes count with a decimal unit ("999 B", "1.00 kB", "1.50 GB"); at most 15
// characters and a NUL.
void prefix_format(char* buffer, std::int64_t count);

// " D of T done (p%)." with the percentage of done in total (100% of an empty product).
std::string progress_text(std::int64_t done, std::int64_t total);

// Seconds left at rate bytes per second as "h:mm:ss", or "Unknown time" at rate 0.
std::string time_left_text(std::int64_t done, std::int64_t total, std::int32_t rate);

// The rate samples: a ring of up to 20 (bytes done, tick count) pairs.
inline constexpr int history_slots = 20;
struct rate_history {
    std::int64_t bytes_done[history_slots];
    std::uint32_t times[history_slots];
    int offset; // slot of the next sample
    int length; // number of valid samples
};

// Bytes per second from the oldest sample to now; 0 without samples or without time
// between them.
std::int32_t rate_since_oldest(const rate_history& history, std::int64_t done, std::uint32_t now);

// Appends a sample, dropping the oldest of a full ring.
void record_sample(rate_history& history, std::int64_t done, std::uint32_t time);

// The whole line: the status text and the progress text while a status is set, else
// the rate, the progress text and the time left.
std::string status_line(const char* status, std::int64_t done, std::int64_t total,
                        std::int32_t rate);

// The bar's position in 0..65535.
int bar_position(std::int64_t done, std::int64_t total);

// Where the screen's controls stand for a font of height h: the buttons' bottom edge
// stays at 151 whatever h is.
struct download_layout {
    int title_y, title_height;
    int status_y;
    int bar_y, bar_height;
    int buttons_y, button_height;
};
download_layout layout_for(int h);
