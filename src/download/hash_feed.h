// Hashing written bytes on a thread of their own, so that the download's read loop does
// not wait for the hash between one read and the next. The worker hands each piece it has
// written (a pointer into its own read buffer: no copy) with the running hash it belongs
// to; one hashing thread takes the pieces in the order they were handed. Each piece gets a
// ticket: the buffer it lies in may be read into again once its ticket is hashed, and
// before anyone looks at a running hash (to judge a file, or because the worker stops and
// the next attempt takes over) the worker drains the feed, so that every running hash
// covers exactly the bytes written.
//
// The lock and the two conditions come from the platform (Sync): the system's slim lock
// and condition variables wait and wake inside the process (under Wine on futexes),
// where this toolchain's C++ condition variable waits on semaphores, a Windows server
// call each under Wine.
//   Sync::lock(), Sync::unlock();
//   Sync::wait(channel): releases the lock, sleeps until woken on channel, takes it again
//                        (it may also return without a wake);
//   Sync::wake(channel): wakes the waiters on channel.
// Channel work wakes the hashing thread, channel done the worker.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/sha256.h"

enum class hash_channel { work, done };

template <typename Sync> class hash_feed {
  public:
    // Pieces that may wait at most; the worker waits for room beyond that.
    static constexpr std::size_t capacity = 64;

    // wake_bytes: the hashing thread, once asleep, is woken when this many bytes wait (or
    // when the worker waits for it), so that a wake is paid for several reads, not each.
    explicit hash_feed(std::size_t wake_bytes) : wake_bytes_(wake_bytes) {}

    // The worker's side (one worker at a time).

    // Queues size bytes at data to be hashed into running after everything handed
    // before. They must stay unchanged until the returned ticket is hashed.
    std::uint64_t hand(sha256_state& running, const void* data, std::size_t size) {
        sync_.lock();
        while (handed_ - hashed_ == capacity) {
            wait_hashed(handed_ - capacity + 1);
        }
        pieces_[handed_ % capacity] = piece{&running, data, size};
        ++handed_;
        waiting_bytes_ += size;
        const std::uint64_t ticket = handed_;
        if (asleep_ && waiting_bytes_ >= wake_bytes_) {
            asleep_ = false;
            sync_.wake(hash_channel::work);
        }
        sync_.unlock();
        return ticket;
    }

    // Returns once every piece up to ticket is hashed (at once for ticket 0).
    void wait_for(std::uint64_t ticket) {
        sync_.lock();
        while (hashed_ < ticket) {
            wait_hashed(ticket);
        }
        sync_.unlock();
    }

    // Returns once everything handed so far is hashed.
    void drain() {
        sync_.lock();
        while (hashed_ < handed_) {
            wait_hashed(handed_);
        }
        sync_.unlock();
    }

    // The hashing thread's side: hashes pieces as they come, until stop() has been
    // called and everything handed is hashed (the program's own thread never stops).
    void run() {
        sync_.lock();
        while (true) {
            while (hashed_ == handed_) {
                if (stopping_) {
                    sync_.unlock();
                    return;
                }
                asleep_ = true;
                sync_.wait(hash_channel::work);
            }
            asleep_ = false;
            const piece next = pieces_[hashed_ % capacity]; // stays until hashed_ moves on
            sync_.unlock();
            sha256_update(*next.running, next.data, next.size);
            sync_.lock();
            ++hashed_;
            waiting_bytes_ -= next.size;
            if (wanted_ != 0 && hashed_ >= wanted_) {
                wanted_ = 0;
                sync_.wake(hash_channel::done);
            }
        }
    }

    void stop() {
        sync_.lock();
        stopping_ = true;
        asleep_ = false;
        sync_.wake(hash_channel::work);
        sync_.unlock();
    }

  private:
    struct piece {
        sha256_state* running;
        const void* data;
        std::size_t size;
    };

    // Under the lock: wakes the hashing thread if it sleeps, and sleeps until it has
    // hashed up to ticket (or a spurious wake).
    void wait_hashed(std::uint64_t ticket) {
        if (asleep_) {
            asleep_ = false;
            sync_.wake(hash_channel::work);
        }
        wanted_ = ticket;
        sync_.wait(hash_channel::done);
    }

    Sync sync_;
    const std::size_t wake_bytes_;
    piece pieces_[capacity] = {};
    std::uint64_t handed_ = 0; // pieces handed; the last one's ticket
    std::uint64_t hashed_ = 0; // pieces hashed, in order
    std::size_t waiting_bytes_ = 0;
    std::uint64_t wanted_ = 0; // the ticket the worker sleeps for, or 0
    bool asleep_ = false;      // the hashing thread sleeps until woken
    bool stopping_ = false;
};
