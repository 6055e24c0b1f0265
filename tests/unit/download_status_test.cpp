// The download screen's texts and layout, and where each stream position is fetched.
#include <gtest/gtest.h>

#include <cstring>

#include "download/stream_parts.h"
#include "screens/download_status.h"

namespace {

std::string prefix(std::int64_t count) {
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    prefix_format(buffer, count);
    return buffer;
}

TEST(DownloadStatus, PrefixFormatUsesDecimalUnits) {
    EXPECT_EQ(prefix(999), "999 B");
    EXPECT_EQ(prefix(1000), "1.00 kB");
    EXPECT_EQ(prefix(999'999), "1000.00 kB");
    EXPECT_EQ(prefix(1'000'000), "1.00 MB");
    EXPECT_EQ(prefix(1'500'000'000), "1.50 GB");
    EXPECT_EQ(prefix(-5), "-5 B");
    EXPECT_EQ(prefix(1'000'000'000'000), "1000.00 G"); // cut to nine characters
}

TEST(DownloadStatus, LinesWithAndWithoutAStatus) {
    EXPECT_EQ(status_line(nullptr, 1'500'000, 3'000'000, 1'500'000),
              "Downloading at 1.50 MB/s. 1.50 MB of 3.00 MB done (50.0%). 0:00:01 remaining.");
    EXPECT_EQ(status_line("Paused.", 1'500'000, 3'000'000, 0),
              "Paused. 1.50 MB of 3.00 MB done (50.0%).");
    EXPECT_EQ(status_line(nullptr, 10, 20, 0),
              "Downloading at 0 B/s. 10 B of 20 B done (50.0%). Unknown time remaining.");
    // An empty product is all there, and nothing divides by its size.
    EXPECT_EQ(progress_text(0, 0), " 0 B of 0 B done (100.0%).");
    EXPECT_EQ(bar_position(0, 0), 65535);
    EXPECT_EQ(bar_position(1, 2), 32767);
}

TEST(DownloadStatus, TimeLeft) {
    EXPECT_EQ(time_left_text(0, 3725, 1), "1:02:05");
    EXPECT_EQ(time_left_text(0, 59, 1), "0:00:59");
    EXPECT_EQ(time_left_text(0, 59, 0), "Unknown time");
    EXPECT_LE(time_left_text(0, INT64_MAX, 1).size(), 12u);
}

TEST(DownloadStatus, RateOverTheRing) {
    rate_history h{};
    EXPECT_EQ(rate_since_oldest(h, 5000, 100), 0); // no samples
    record_sample(h, 0, 1000);
    EXPECT_EQ(rate_since_oldest(h, 5000, 1000), 0); // no time has passed
    EXPECT_EQ(rate_since_oldest(h, 5000, 2000), 5000);
    for (int i = 1; i <= 25; ++i) {
        record_sample(h, i * 1000, 1000 + i * 250);
    }
    EXPECT_EQ(h.length, 20);
    // The oldest kept sample is the sixth one: 6000 bytes at 2500 ms.
    EXPECT_EQ(rate_since_oldest(h, 26'000, 7500), 4000);
    // Tick counts wrap.
    rate_history w{};
    record_sample(w, 0, 0xFFFFFF00u);
    EXPECT_EQ(rate_since_oldest(w, 512, 0x100u), 1000);
}

TEST(DownloadStatus, ControlsStandWhereTheFontPutsThem) {
    const download_layout small = layout_for(13);
    EXPECT_EQ(small.title_height, 19);
    EXPECT_EQ(small.status_y, 73);
    EXPECT_EQ(small.bar_y, 92);
    EXPECT_EQ(small.bar_height, 26);
    EXPECT_EQ(small.buttons_y, 124);
    EXPECT_EQ(small.button_height, 27);
    const download_layout large = layout_for(16);
    EXPECT_EQ(large.status_y, 61);
    EXPECT_EQ(large.bar_y, 83);
    EXPECT_EQ(large.buttons_y, 121);
    EXPECT_EQ(large.buttons_y + large.button_height, 151);
}

TEST(DownloadStream, PartsPathsAndRanges) {
    struct {
        std::int64_t done;
        std::int64_t part;
        std::int32_t offset;
        const char* path;
        const char* header;
        std::uint32_t status;
    } cases[] = {
        {0, 0, 0, "/p/x", "", 200},
        {1000, 0, 1000, "/p/x", "Range: bytes=1000-", 206},
        {1'999'999'999, 0, 1'999'999'999, "/p/x", "Range: bytes=1999999999-", 206},
        {2'000'000'000, 1, 0, "/p/x.2", "", 200},
        {2'000'000'005, 1, 5, "/p/x.2", "Range: bytes=5-", 206},
        {4'000'000'000, 2, 0, "/p/x.3", "", 200},
    };
    for (const auto& c : cases) {
        const stream_position at = stream_position_of(c.done);
        EXPECT_EQ(at.part, c.part) << c.done;
        EXPECT_EQ(at.offset, c.offset) << c.done;
        EXPECT_EQ(at.part_end, (c.part + 1) * 2'000'000'000) << c.done;
        EXPECT_EQ(stream_part_path("/p/x", at.part), c.path) << c.done;
        EXPECT_EQ(stream_range_header(at.offset), c.header) << c.done;
        EXPECT_EQ(expected_status(at.offset), c.status) << c.done;
    }
}

} // namespace
