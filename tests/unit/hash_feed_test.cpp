// The hashing thread's feed as the download worker drives it: a small ring of read
// buffers, each read into again only once its ticket is hashed, pieces of several files
// in order, a drain before each file is judged. A piece hashed late (after its buffer was
// read into again), out of order, or not at all shows as a wrong digest or length.
#include "download/hash_feed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "download/hash_feed_win.h" // the program's own, tested under Wine
#endif

namespace {

struct std_sync {
    std::mutex mutex;
    std::condition_variable_any conditions[2];
    void lock() { mutex.lock(); }
    void unlock() { mutex.unlock(); }
    void wait(hash_channel channel) { conditions[static_cast<int>(channel)].wait(mutex); }
    void wake(hash_channel channel) { conditions[static_cast<int>(channel)].notify_all(); }
};

// Ends the test run if a scenario hangs (a lost wake), rather than waiting for ever.
class watchdog {
  public:
    watchdog()
        : thread_([this] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_condition_.wait_for(lock, std::chrono::seconds(60),
                                            [this] { return done_; })) {
                  std::fprintf(stderr, "the feed hung\n");
                  std::abort();
              }
          }) {}
    ~watchdog() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_condition_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_condition_;
    bool done_ = false;
    std::thread thread_;
};

sha256_digest digest_of(const std::vector<std::uint8_t>& bytes) {
    sha256_state state;
    sha256_init(state);
    if (!bytes.empty()) {
        sha256_update(state, bytes.data(), bytes.size());
    }
    return sha256_final(state);
}

// Files of the given sizes written through a ring of ring_size buffers of 32 KB, each
// read of a random length up to a buffer, the bytes random: every running hash must end
// as the straight hash of its file, and cover exactly its bytes once drained.
template <typename Sync>
void write_through_ring(std::size_t wake_bytes, std::size_t ring_size,
                        const std::vector<std::size_t>& sizes, std::size_t most_per_read,
                        unsigned seed) {
    watchdog guard;
    hash_feed<Sync> feed(wake_bytes);
    std::thread hasher([&] { feed.run(); });
    std::mt19937 random(seed);
    std::vector<std::vector<std::uint8_t>> buffers(ring_size, std::vector<std::uint8_t>(32768));
    std::vector<std::uint64_t> tickets(ring_size, 0);
    std::size_t slot = 0;
    for (const std::size_t size : sizes) {
        std::vector<std::uint8_t> file;
        sha256_state running;
        sha256_init(running);
        while (file.size() < size) {
            // The worker's next read: into the next buffer, once the hasher is done with it.
            feed.wait_for(tickets[slot]);
            std::vector<std::uint8_t>& buffer = buffers[slot];
            const std::size_t count =
                std::min(size - file.size(), 1 + random() % std::min(most_per_read, buffer.size()));
            for (std::size_t i = 0; i < count; ++i) {
                buffer[i] = static_cast<std::uint8_t>(random());
            }
            file.insert(file.end(), buffer.begin(), buffer.begin() + count);
            tickets[slot] = feed.hand(running, buffer.data(), count);
            slot = (slot + 1) % ring_size;
        }
        feed.drain();
        ASSERT_EQ(running.length, size);
        ASSERT_EQ(sha256_final(running), digest_of(file)) << "a file of " << size << " bytes";
    }
    feed.stop();
    hasher.join();
}

template <typename Sync> void every_piece_in_order() {
    // The program's own settings: 8 buffers, woken once 4 reads wait.
    write_through_ring<Sync>(4 * 32768, 8, {5'000'000, 1, 0, 32768, 777'777}, 32768, 1);
    // Reads of a few bytes (a trickle): room for 64 pieces runs out before the wake
    // threshold is reached, and before the ring comes round.
    write_through_ring<Sync>(4 * 32768, 8, {100'000}, 7, 2);
    // A threshold never reached: only the worker's waits wake the hasher.
    write_through_ring<Sync>(static_cast<std::size_t>(-1), 3, {2'000'000, 65}, 32768, 3);
    // One buffer: every read waits for the one before to be hashed.
    write_through_ring<Sync>(1, 1, {300'000}, 32768, 4);
}

template <typename Sync> void drain_leaves_nothing_behind() {
    watchdog guard;
    hash_feed<Sync> feed(static_cast<std::size_t>(-1));
    std::thread hasher([&] { feed.run(); });
    const std::vector<std::uint8_t> bytes(100'000, 0x5a);
    sha256_state running;
    sha256_init(running);
    for (int round = 1; round <= 50; ++round) {
        feed.hand(running, bytes.data(), 1000);
        feed.hand(running, bytes.data() + 1000, 999);
        feed.drain(); // what a stop or a judgement waits for
        EXPECT_EQ(running.length, static_cast<std::uint64_t>(1999 * round));
    }
    feed.stop();
    hasher.join();
}

TEST(HashFeed, HashesEveryPieceInOrderBeforeItsBufferIsReadIntoAgain) {
    every_piece_in_order<std_sync>();
#ifdef _WIN32
    every_piece_in_order<system_sync>();
#endif
}

TEST(HashFeed, ADrainLeavesNothingBehindAndTheThreadGoesOn) {
    drain_leaves_nothing_behind<std_sync>();
#ifdef _WIN32
    drain_leaves_nothing_behind<system_sync>();
#endif
}

} // namespace
