#include "fileOp/CCopyPool.h"

#include "ground/ResultCodes.h"
#include "logging/log.h"

namespace {

// Enough queued files to keep every thread busy while the walker lists a folder, few enough
// that the queue's memory does not grow with the tree.
constexpr size_t kQueuedPerThread = 64;
// Threads and walker wake each other in batches, not for every file: each wake is a system call.
constexpr size_t kWakeBatch = 16;

}  // namespace

CCopyPool::CCopyPool(unsigned threads, const std::atomic<bool>& cancel) : cancel_(cancel) {
    if (threads <= 1) return;
    threads_.reserve(threads);
    for (unsigned k = 0; k < threads; ++k)
        threads_.emplace_back([this] { Work(); });
}

CCopyPool::~CCopyPool() {
    Finish();
}

CCopyPool::Group* CCopyPool::OpenGroup(Group* parent, Job onDone) {
    auto* group = new Group;
    group->onDone = std::move(onDone);
    group->parent = parent;
    if (parent != nullptr) parent->holds.fetch_add(1);
    return group;
}

void CCopyPool::CloseGroup(Group* group) {
    Release(group);
    if (!threads_.empty()) ready_.notify_all();  // the last files of a folder wait no longer
}

// The last hold of a group runs its onDone (unless stopped) and then lets go of its parent.
void CCopyPool::Release(Group* group) {
    while (group != nullptr) {
        const int32_t left = group->holds.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 1) {  // only the walker's hold is left: a walker waiting for the jobs goes on
            std::lock_guard<std::mutex> hold(lock_);
            ended_.notify_all();
        }
        if (left != 0) return;
        if (Failure() == 0 && group->onDone) {
            if (const int32_t r = group->onDone()) Fail(r);
        }
        Group* parent = group->parent;
        delete group;
        group = parent;
    }
}

void CCopyPool::WaitForJobs(Group* group) {
    if (threads_.empty()) return;  // the walker ran them itself
    ready_.notify_all();           // fewer than a batch may be waiting in the queue
    std::unique_lock<std::mutex> hold(lock_);
    ended_.wait(hold, [group] { return group->holds.load(std::memory_order_acquire) == 1; });
}

int32_t CCopyPool::Run(Group* group, Job job) {
    if (const int32_t stopped = Failure()) return stopped;
    group->holds.fetch_add(1);
    Task task{group, std::move(job)};
    if (threads_.empty()) {
        RunOne(task);
        return Failure();
    }
    std::unique_lock<std::mutex> hold(lock_);
    if (queue_.size() >= Capacity()) {
        room_.wait(hold, [this] { return queue_.size() <= Capacity() / 2 || Failure() != 0; });
    }
    if (const int32_t stopped = Failure()) {
        hold.unlock();
        Release(group);
        return stopped;
    }
    queue_.push_back(std::move(task));
    const bool wake = queue_.size() >= kWakeBatch;
    hold.unlock();
    if (wake) ready_.notify_all();
    return 0;
}

void CCopyPool::RunOne(Task& task) {
    if (Failure() == 0) {
        if (!threads_.empty() && cancel_.load(std::memory_order_relaxed)) {
            // The files still queued are not copied.
            if (Fail(kCodeCancelled)) HX_LOG.Err(kCodeCancelled);
        } else if (const int32_t r = task.job()) {
            Fail(r);
        }
    }
    task.job = nullptr;  // its strings go now, not when the next task replaces it
    Release(task.group);
}

size_t CCopyPool::Capacity() const {
    return kQueuedPerThread * threads_.size();
}

void CCopyPool::Work() {
    for (;;) {
        std::unique_lock<std::mutex> hold(lock_);
        ready_.wait(hold, [this] { return !queue_.empty() || finishing_; });
        if (queue_.empty()) return;  // finishing, and nothing left
        Task task = std::move(queue_.front());
        queue_.pop_front();
        const bool room = queue_.size() == Capacity() / 2;
        hold.unlock();
        if (room) room_.notify_one();
        RunOne(task);
    }
}

bool CCopyPool::Fail(int32_t code) {
    bool first = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        // A failure outranks a cancel that threads happened to notice first: it is what the
        // user must hear about.
        const int32_t had = failure_.load(std::memory_order_relaxed);
        first = had == 0 || (had == kCodeCancelled && code != kCodeCancelled);
        if (first) {
            failure_.store(code, std::memory_order_release);
            failureState_ = sys::SaveLastError();
        }
    }
    room_.notify_all();  // a walker waiting for room hears it at once
    return first;
}

int32_t CCopyPool::Finish() {
    if (!finished_) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            finishing_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
        finished_ = true;
    }
    const int32_t code = Failure();
    if (code != 0) {
        std::lock_guard<std::mutex> hold(lock_);
        sys::RestoreLastError(failureState_);
    }
    return code;
}
