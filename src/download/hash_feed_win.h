// The hashing thread's lock and conditions as Windows offers them: a slim reader/writer
// lock and two condition variables, which wait and wake inside the process (under Wine
// too), without the Windows server.
#pragma once

#include <windows.h>

#include "download/hash_feed.h"

struct system_sync {
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE conditions_[2] = {CONDITION_VARIABLE_INIT, CONDITION_VARIABLE_INIT};
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    void wait(hash_channel channel) {
        SleepConditionVariableSRW(&conditions_[static_cast<int>(channel)], &lock_, INFINITE, 0);
    }
    void wake(hash_channel channel) {
        WakeAllConditionVariable(&conditions_[static_cast<int>(channel)]);
    }
};
