// A fixed team of threads for the permutation test: the caller posts a job
// made of numbered pieces, may do something else meanwhile (draw the next
// permutations), and then joins the team until every piece is done. The
// threads are started once, before the loop, and nothing is allocated per job.
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace morvenak {

// A job: run(piece, thread) for piece = 0..count-1, in any order and on any
// thread; `thread` is 0 for the caller and 1..size-1 for the helpers, so a
// job can give each thread its own scratch.
class Job {
 public:
  virtual void run(int piece, int thread) = 0;

 protected:
  ~Job() = default;
};

class Workers {
 public:
  // A team of `size` threads in all: the caller and size - 1 helpers. If the
  // system refuses a helper, the team is smaller (size() says how large).
  explicit Workers(int size);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  int size() const { return 1 + static_cast<int>(helpers_.size()); }

  // Hands the job to the helpers and returns at once. One job at a time.
  void post(Job& job, int count);
  // The caller works on the posted job too and returns when all is done.
  void wait();
  // post, then wait.
  void run(Job& job, int count) {
    post(job, count);
    wait();
  }

  // The number of threads to use: the CPUs the process may run on (its
  // affinity mask and cgroup quota, not the machine's count), at least 1.
  static int available();

 private:
  void helper(int thread);
  void work(int thread);

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  Job* job_ = nullptr;
  int count_ = 0;
  std::atomic<int> next_{0};
  int running_ = 0;          // helpers still on the current job
  unsigned generation_ = 0;  // one per posted job
  bool quit_ = false;
};

}  // namespace morvenak
