// The permutation test shared by the three anova engines, and the stream of
// permutations that every test of the library draws from.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "anova/statistics.hpp"
#include "anova/workers.hpp"
#include "core/workspace.hpp"

namespace morvenak {

// The permutation test of every formed statistic, all with the same
// permutations, in the order given. The generator first draws 100 values
// it discards; then each permutation is drawn from the previous one (rows
// are permuted from the previous permutation, never reset). The events
// hear of the start and of every permutation drawn, with `large` true when
// n x p > threshold. The permutations are drawn one after the other on the
// calling thread, which also polls the cancellation; the statistics are
// evaluated on ctx.threads threads (0: all the process may use) by the fast
// path, or by the literal products alone in a build with
// MORVENAK_LITERAL_PERMUTATIONS. With processes sharing the test
// (ctx.share) each evaluates the permutations dealt to it and the counts
// are summed. The counts never depend on threads or processes.
void permutation_test(const RunContext& ctx, Workspace& w, Statistic* stats, int nstats, int threshold);

// Whether the k-th permutation of a test (from 1) is this process's to
// evaluate, how many of a test's `total` are, and the sum of counts over
// the processes (the values unchanged for one process).
bool dealt_here(const RunContext& ctx, long long k);
long long dealt_count(const RunContext& ctx, long long total);
void sum_over_processes(const RunContext& ctx, std::int64_t* values, int size);

// The permutations of one test, n objects each, drawn in order into `perm`
// (the identity at the start, then each drawn from the previous one): every
// permutation is drawn, whichever process evaluates it, so that the
// generator goes through the same sequence everywhere; those dealt to this
// process are copied out. Each draw polls the cancellation and tells the
// events.
class PermutationStream {
 public:
  PermutationStream(const RunContext& ctx, int* perm, bool progress);
  // Draws until `most` of this process's permutations are copied to `out`
  // (n each, one after the other) or the test's are all drawn; returns how
  // many were copied.
  int fill(int* out, int most);
  // Draws the rest of the test's permutations (the generator's state after
  // the test is that of a whole test).
  void drain();
  // This process's permutations of the whole test.
  long long here() const { return dealt_count(ctx_, ctx_.nperm); }

 private:
  const RunContext& ctx_;
  int* perm_;
  bool progress_;
  long long drawn_ = 0;
  std::vector<int> within_;  // a stratum's entries while they are shuffled
};

// The permutations of a test (a PermutationStream, or anything with its
// fill()) evaluated on the team in rounds of at most
// `per_round`: while the team evaluates one round (job.set(perms, count), then
// job.pieces() pieces), this thread draws the next. Returns when the stream
// has no more of this process's permutations; the team is idle then.
template <class Stream, class TeamJob>
void evaluate_in_rounds(Stream& stream, Workers& team, TeamJob& job, int per_round, int n) {
  std::vector<int> buffer(2 * static_cast<std::size_t>(per_round) * static_cast<std::size_t>(n));
  int* slot[2] = {buffer.data(), buffer.data() + static_cast<std::size_t>(per_round) * static_cast<std::size_t>(n)};
  int count = stream.fill(slot[0], per_round);
  for (int round = 0; count > 0; ++round) {
    job.set(slot[round % 2], count);
    team.post(job, job.pieces());
    int next = 0;
    try {
      next = stream.fill(slot[(round + 1) % 2], per_round);
    } catch (...) {
      team.wait();
      throw;
    }
    team.wait();
    count = next;
  }
}

}  // namespace morvenak
