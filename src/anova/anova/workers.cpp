// The thread team of the permutation test.
#include "core/fp_contract.hpp"
#include "anova/workers.hpp"

#include <system_error>

#include "core/resources.hpp"

namespace morvenak {

Workers::Workers(int size) {
  if (size > 1) helpers_.reserve(static_cast<std::size_t>(size - 1));
  for (int t = 1; t < size; ++t) {
    try {
      helpers_.emplace_back(&Workers::helper, this, t);
    } catch (const std::system_error&) {
      break;  // fewer threads: the work is the same, only slower
    }
  }
}

Workers::~Workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  start_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

int Workers::available() { return cpus_available(); }

void Workers::post(Job& job, int count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    count_ = count;
    next_.store(0, std::memory_order_relaxed);
    running_ = static_cast<int>(helpers_.size());
    ++generation_;
  }
  start_.notify_all();
}

void Workers::wait() {
  work(0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return running_ == 0; });
  job_ = nullptr;
}

void Workers::work(int thread) {
  for (;;) {
    const int piece = next_.fetch_add(1, std::memory_order_relaxed);
    if (piece >= count_) return;
    job_->run(piece, thread);
  }
}

void Workers::helper(int thread) {
  unsigned seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
    }
    work(thread);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
    }
    done_.notify_one();
  }
}

}  // namespace morvenak
