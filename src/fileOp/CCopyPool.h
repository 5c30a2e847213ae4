// The threads that copy (or delete) files for the tree walker. The walker hands each file's job
// to the pool and goes on listing. The first failure stops every thread and is the copy's result;
// a failure or a cancel stops them between files, and a large file between its steps (its copy
// asks Failure() at each step).
//
// With one thread no thread is started: the walker runs each job as it hands it over, so the
// calls come in the order of the walk, as the fault sweep needs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sys.h"

class CCopyPool {
  public:
    using Job = std::function<int32_t()>;  // 0, or the code of the failure it met (logged)

    // Work that must wait for other work: a folder's metadata waits for the files copied into
    // it and for its sub-folders' metadata. Opened and closed by the walker.
    struct Group {
        Job onDone;  // runs once the walker has closed the group and all its work has ended
        Group* parent = nullptr;
        std::atomic<int32_t> holds{1};  // the walker's own, one per job, one per open child
    };

    CCopyPool(unsigned threads, const std::atomic<bool>& cancel);
    ~CCopyPool();
    CCopyPool(const CCopyPool&) = delete;
    CCopyPool& operator=(const CCopyPool&) = delete;

    Group* OpenGroup(Group* parent, Job onDone);
    // The walker is done with group: its onDone runs when its last job ends (at once when none
    // is left), unless the pool has stopped.
    void CloseGroup(Group* group);
    // Hands job over (waiting while the queue is full). 0 to go on; else the code that stopped
    // the pool, which the walker returns.
    int32_t Run(Group* group, Job job);
    // Waits until every job handed over for group has ended (the walker's own hold aside).
    void WaitForJobs(Group* group);

    // Notes a failure; the first one is kept, with the failing call's error, and stops the pool
    // (a failure replaces a cancel). True when it was kept.
    bool Fail(int32_t code);
    int32_t Failure() const { return failure_.load(std::memory_order_acquire); }
    // Waits for the jobs handed over (only dropping them once the pool has stopped) and ends
    // the threads. The first failure's code, its last error restored on this thread; else 0.
    int32_t Finish();

  private:
    struct Task {
        Group* group;
        Job job;
    };
    size_t Capacity() const;  // tasks queued at most
    void Work();
    void RunOne(Task& task);
    void Release(Group* group);

    const std::atomic<bool>& cancel_;
    std::atomic<int32_t> failure_{0};
    sys::ErrorState failureState_;  // guarded by lock_
    std::mutex lock_;
    std::condition_variable ready_;  // a task queued, or the pool finishing
    std::condition_variable room_;   // a task taken, or the pool stopped
    std::condition_variable ended_;  // a group's last job ended
    std::deque<Task> queue_;
    bool finishing_ = false;
    bool finished_ = false;
    std::vector<std::thread> threads_;
};
