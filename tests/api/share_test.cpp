// Processes sharing the permutation tests (Options::share), played by
// threads that meet at each sum: every one of them must end with the result
// of one process alone, bit for bit, in every kind of test (the fast path
// within the limits, the grouped path beyond them, the subgroups as units,
// drawn and enumerated), also when some get no permutation at all.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "morvenak/analysis.hpp"

namespace morvenak {
namespace {

// The meeting point of `count` threads: each sum waits for all of them.
class Meeting {
 public:
  explicit Meeting(int count) : count_(count) {}
  int count() const { return count_; }
  int sums() const { return sums_; }

  void sum(std::int64_t* values, int size) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (arrived_ == 0) total_.assign(static_cast<std::size_t>(size), 0);
    EXPECT_EQ(static_cast<int>(total_.size()), size);
    for (int k = 0; k < size && k < static_cast<int>(total_.size()); ++k) total_[static_cast<std::size_t>(k)] += values[k];
    const long long round = round_;
    if (++arrived_ == count_) {
      result_ = total_;
      arrived_ = 0;
      ++round_;
      ++sums_;
      done_.notify_all();
    } else {
      done_.wait(lock, [&] { return round_ != round; });
    }
    for (int k = 0; k < size && k < static_cast<int>(result_.size()); ++k) values[k] = result_[static_cast<std::size_t>(k)];
  }

 private:
  int count_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<std::int64_t> total_, result_;
  int arrived_ = 0;
  long long round_ = 0;
  int sums_ = 0;
};

class ThreadShare : public Share {
 public:
  ThreadShare(Meeting& meeting, int index) : meeting_(meeting), index_(index) {}
  int index() const override { return index_; }
  int count() const override { return meeting_.count(); }
  void sum(std::int64_t* values, int size) override { meeting_.sum(values, size); }

 private:
  Meeting& meeting_;
  int index_;
};

// n objects in `main` groups, each of two subgroups, each of two cells.
Input nested(int n, int p, int main) {
  Input in;
  in.n = n;
  in.p = p;
  in.y.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(p));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < p; ++j)
      in.y[static_cast<std::size_t>(i + j * n)] =
          static_cast<double>((i * 7919 + j * 104729) % 97) + (i % main == j % 3 ? 9.0 : 0.0) + (i % 5 == 0 ? 4.0 : 0.0);
  std::vector<std::string> a, b, c;
  for (int i = 0; i < n; ++i) {
    a.push_back("m" + std::to_string(i % main));
    b.push_back("s" + std::to_string((i / main) % 2));
    c.push_back("c" + std::to_string((i / (2 * main)) % 2));
  }
  in.factors.push_back(Factor::from_labels("A", a));
  in.factors.push_back(Factor::from_labels("B", b));
  in.factors.push_back(Factor::from_labels("C", c));
  return in;
}

// The analysis by `processes` threads sharing its tests; every one's result.
std::vector<Result> shared(const Input& in, Options o, int processes, int* sums = nullptr) {
  Meeting meeting(processes);
  std::vector<ThreadShare> shares;
  for (int k = 0; k < processes; ++k) shares.emplace_back(meeting, k);
  std::vector<Result> results(static_cast<std::size_t>(processes));
  std::vector<std::thread> threads;
  for (int k = 0; k < processes; ++k)
    threads.emplace_back([&, k] {
      Options mine = o;
      mine.share = &shares[static_cast<std::size_t>(k)];
      results[static_cast<std::size_t>(k)] = analyse(in, mine);
    });
  for (std::thread& t : threads) t.join();
  if (sums != nullptr) *sums = meeting.sums();
  return results;
}

void expect_same(const Result& a, const Result& b, const std::string& what) {
  ASSERT_EQ(a.rows.size(), b.rows.size()) << what;
  for (std::size_t k = 0; k < a.rows.size(); ++k) {
    EXPECT_EQ(a.rows[k].ss, b.rows[k].ss) << what << " row " << k;
    EXPECT_EQ(a.rows[k].f, b.rows[k].f) << what << " row " << k;
    EXPECT_EQ(a.rows[k].count, b.rows[k].count) << what << " row " << k;
    EXPECT_EQ(a.rows[k].p, b.rows[k].p) << what << " row " << k;
    EXPECT_EQ(a.rows[k].permutations, b.rows[k].permutations) << what << " row " << k;
  }
  EXPECT_EQ(a.main_test.permutations, b.main_test.permutations) << what;
  EXPECT_EQ(a.main_test.near_ties, b.main_test.near_ties) << what;
  EXPECT_EQ(a.main_test.exact, b.main_test.exact) << what;
}

// Each kind of test, alone and shared by 3 processes (and by 2 for one).
TEST(Share, EveryProcessEndsWithTheResultOfOneProcess) {
  struct Case {
    const char* name;
    int n, p, processes;
    MainUnits units;
    bool exact;
    int permutations;
  };
  const Case cases[] = {
      {"fast path", 60, 12, 3, MainUnits::kObjects, false, 499},
      {"grouped path", 540, 8, 3, MainUnits::kObjects, false, 199},
      {"two processes", 60, 12, 2, MainUnits::kObjects, false, 250},
      {"subgroups drawn", 60, 12, 3, MainUnits::kSubgroups, false, 300},
      {"subgroups enumerated", 60, 12, 3, MainUnits::kSubgroups, true, 99},
      {"grouped subgroups", 540, 8, 3, MainUnits::kSubgroups, false, 150},
  };
  for (const Case& c : cases) {
    const Input in = nested(c.n, c.p, 3);
    Options o;
    o.task = Task::kAnova;
    o.permutations = c.permutations;
    o.main_units = c.units;
    o.exact = c.exact;
    o.threads = 1;
    const Result alone = analyse(in, o);
    int sums = 0;
    const std::vector<Result> all = shared(in, o, c.processes, &sums);
    EXPECT_GT(sums, 0) << c.name;  // the counts really were summed
    for (const Result& r : all) expect_same(r, alone, c.name);
    // Counts above 1 in some row: the comparison is not decided by the observed value alone.
    bool some = false;
    for (const Row& row : alone.rows) some = some || row.count > 1;
    EXPECT_TRUE(some) << c.name;
  }
}

TEST(Share, MoreProcessesThanPermutationsStillAgree) {
  const Input in = nested(60, 12, 3);
  Options o;
  o.task = Task::kAnova;
  o.permutations = 2;
  const Result alone = analyse(in, o);
  for (const Result& r : shared(in, o, 4)) expect_same(r, alone, "2 permutations, 4 processes");
}

TEST(Share, AShareThatDoesNotHoldThisProcessIsRefused) {
  Meeting meeting(2);
  ThreadShare outside(meeting, 2);
  Options o;
  o.share = &outside;
  EXPECT_THROW(analyse(nested(60, 12, 3), o), InvalidInput);
}

}  // namespace
}  // namespace morvenak
