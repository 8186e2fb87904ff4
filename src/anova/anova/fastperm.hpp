// The fast evaluation of permuted statistics, and the guarantee that it
// decides every comparison F* >= F exactly as the literal products do.
//
// The literal path forms the permuted matrix B = P M (row i of B is row
// perm(i) of M), the product H B and its sum of squares about the column
// means, at n * n * p multiply-adds per sum of squares. The same sum is the
// quadratic form
//     SS(H P M) = sum over i, k of G(i, k) K(perm(i), perm(k)),
// with G = H' C H (C centres the columns) and K = M M', both built once, so a
// permutation costs O(n^2) whatever p, and less for nested factors: with the
// objects ordered by their codes, G is a constant (whose share does not
// depend on the permutation) plus blocks along the diagonal, so each row of
// the form stops where its cell ends. The total SS of a permuted matrix does
// not depend on the permutation at all and is computed once.
//
// Each fast sum of squares comes with a rigorous bound on its distance to the
// exact value, and another on the distance from the exact value to what the
// literal path computes; from these, an interval that surely holds the
// literal F*. When the observed F is outside that interval the comparison is
// decided without the products; otherwise (and whenever a value is not
// finite) the permutation is evaluated on the literal path. The derivation of
// the bounds is in docs/fast-permutations.md.
#pragma once
#include <cstddef>
#include <memory>
#include <vector>

#include "anova/statistics.hpp"
#include "anova/workers.hpp"

namespace morvenak {

// What the fast path knows about one permuted statistic: intervals that hold
// the literal numerator SS, the literal denominator (as the statistic forms
// it) and the literal F*. `decided` is false when the literal path must
// settle the comparison (an interval that is not finite, a denominator
// interval that reaches 0, or an observed F inside the F* interval).
struct FastBounds {
  double num_lo, num_hi;
  double den_lo, den_hi;
  double f_lo, f_hi;
  bool decided;
  bool exceeds;  // when decided: F* >= F
};

class FastPermutations {
 public:
  // Builds the Gram matrices of every source and projector that the formed
  // statistics use, and the constants of the bounds, on the team's threads.
  // The statistics, the workspace and the context must outlive the object.
  FastPermutations(const RunContext& ctx, Workspace& w, const Statistic* stats, int nstats, Workers& team);
  ~FastPermutations();
  FastPermutations(const FastPermutations&) = delete;
  FastPermutations& operator=(const FastPermutations&) = delete;

  // Evaluates `count` permutations stored one after another (n object
  // numbers each, 1-based, as `permute` leaves them) on the team, and adds
  // to exceedances(k) one for every permutation whose F* >= F for formed
  // statistic k. post returns at once; wait joins the team until it is done.
  // The permutations must stay unchanged until wait returns.
  void post(const int* perms, int count);
  void wait();

  long long exceedances(int k) const { return exceed_[static_cast<std::size_t>(k)]; }
  // The multiply-adds of the forms of one permutation (every term's rows).
  long long products_per_permutation() const { return products_; }
  // The most permutations a thread evaluates together (sharing each pass over K).
  static int group_size();
  // Comparisons that went to the literal path so far.
  long long literal_evaluations() const { return literal_; }

  // How the quadratic forms are evaluated: eight permutations at a time, row
  // by row (kLanes, chosen while K stays in cache, n up to 400), or a group
  // of permutations per pass over the columns of K (kColumns). Both decide
  // every comparison as the literal path does; only the speed differs.
  enum class Kernel { kLanes, kColumns };
  void use(Kernel kernel) { by_lanes_ = kernel == Kernel::kLanes; }

  // The bounds for statistic k under one permutation, on the calling thread
  // (the tests check that they hold the literal values).
  FastBounds bounds(int k, const int* perm);

 private:
  struct Source;
  struct Projector;
  struct Term;
  struct Test;
  struct ThreadScratch;
  class SetupJob;
  class BatchJob;

  void find_terms();
  void order_objects();
  void measure_sources(double kappa);
  void measure_projectors();
  void build_grams();
  void build_form(Projector& q);
  void term_constants(double kappa);
  void allocate_scratch();
  void load(const int* perm, int slot, ThreadScratch& scratch) const;
  void evaluate(const int* perms, int count, int thread);
  void quadratic_forms(int count, ThreadScratch& scratch);
  void quadratic_forms_by_lanes(int count, ThreadScratch& scratch);
  FastBounds decide(int k, const double* forms) const;
  void settle_f(const Test& t, FastBounds& r) const;
  void settling_forms(Test& t) const;

  const RunContext& ctx_;
  Workspace& w_;
  const Statistic* stats_;
  int nstats_;
  Workers& team_;
  int n_;
  int p_;
  std::vector<int> order_;           // the objects in the order of the forms (0-based)
  std::vector<std::size_t> row_at_;  // where row i of a packed G' starts, less i: G'(i, k) is g[row_at_[i] + k]
  std::vector<Source> sources_;
  std::vector<Projector> projectors_;
  std::vector<Term> terms_;
  std::vector<Test> tests_;
  std::vector<ThreadScratch> scratch_;
  std::unique_ptr<BatchJob> batch_;
  std::vector<long long> exceed_;
  long long literal_ = 0;
  long long products_ = 0;
  bool by_lanes_;
  bool fused_;  // products_are_fused(): every comparison then goes to the literal path
};

}  // namespace morvenak
