// Coding, collinearity and nesting-order checks of the factors.
#include "core/fp_contract.hpp"
#include "input/factor_checks.hpp"

#include <string>

#include "input/checkcol.hpp"
#include "linalg/produit.hpp"

namespace morvenak {
namespace {

// The words of a stop: what the checks found, in the report's words, then the stop's own.
std::string stop_words(std::string found, const std::string& stop) {
  return found.empty() ? stop : found + "; " + stop;
}

void add(std::string& found, const std::string& line) { found += (found.empty() ? "" : "; ") + line; }

}  // namespace

FactorCheck check_factor(const RunContext& ctx, Workspace& w, int f) {
  const int n = ctx.n;
  const int first = ctx.ifirst[f - 1];
  const int last = ctx.ilast[f - 1];
  FactorCheck c;
  c.dummies = last - first + 1;
  c.coding_checked = ctx.check_coding;
  if (ctx.check_coding) {
    for (int j = first; j <= last; ++j) {
      double s = 0.0;
      for (int i = 1; i <= n; ++i) s += w.x(i, j);
      if (s != 0.0) {
        c.sums_to_zero = false;
        ctx.events->column_not_centred(f);
      }
    }
    for (int j1 = first; j1 <= last; ++j1) {
      for (int j2 = j1 + 1; j2 <= last; ++j2) {
        double s = 0.0;
        for (int i = 1; i <= n; ++i) s += w.x(i, j1) * w.x(i, j2);
        if (s != 0.0) {
          c.orthogonal = false;
          ctx.events->columns_not_orthogonal(f);
        }
      }
    }
  }
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= c.dummies; ++j) w.xwk(i, j) = w.x(i, first + j - 1);
  int flag = 0;
  centred_crossproduct_singular(n, c.dummies, w, ctx.events, flag);
  c.collinear = flag == 1;
  if (c.collinear) ctx.events->factor_collinear(f);
  return c;
}

void check_factor_set(RunContext& ctx, Workspace& w, const FactorCheck* checks, int nfactors, bool nesting_known) {
  Events& events = *ctx.events;
  bool coding_failed = false;
  bool any_collinear = false;
  for (int k = 0; k < nfactors; ++k) {
    coding_failed = coding_failed || !checks[k].sums_to_zero || !checks[k].orthogonal;
    any_collinear = any_collinear || checks[k].collinear;
  }
  std::string found;
  if (ctx.check_coding) {
    events.coding_verdict(!coding_failed);
    if (coding_failed) {
      for (int k = 0; k < nfactors; ++k) {
        const std::string factor = "The variables coding for factor " + std::to_string(k + 1);
        if (!checks[k].sums_to_zero) add(found, factor + " do not all sum to 0");
        if (!checks[k].orthogonal) add(found, factor + " are not orthogonal");
      }
      const char* text = "Factor incorrectly coded into orthogonal dummy variables in one or more files";
      throw Stopped(StopReason::kCodingIncorrect, text, true, stop_words(found, text));
    }
  }
  for (int k = 0; k < nfactors; ++k)
    if (checks[k].collinear) add(found, "The variables coding for factor " + std::to_string(k + 1) + " are collinear");
  if (!any_collinear) events.no_collinearity_within();
  if (ctx.mtot >= ctx.n) {
    const char* text = "Too many explanatory variables (mtot >= n)";
    throw Stopped(StopReason::kTooManyVariables, text, false, stop_words(found, text));
  }

  const int pairs[3][2] = {{1, 2}, {1, 3}, {2, 3}};
  const int npairs = nfactors >= 3 ? 3 : (nfactors == 2 ? 1 : 0);
  bool pair_collinear = false;
  for (int q = 0; q < npairs; ++q) {
    int flag = 0;
    checkcol(ctx, w, pairs[q][0], pairs[q][1], flag);
    if (flag == 1) {
      events.factors_collinear(pairs[q][0], pairs[q][1]);
      add(found, "Collinearity detected between files X" + std::to_string(pairs[q][0]) + " and X" +
                     std::to_string(pairs[q][1]));
    }
    pair_collinear = pair_collinear || flag == 1;
  }
  if (pair_collinear)
    throw Stopped(StopReason::kFactorsCollinear, "Collinearity detected among factor files", true, found);
  events.no_collinearity_among();

  for (int k = 1; !nesting_known && k + 1 <= nfactors; ++k) {
    const int below = k >= 2 ? ctx.ilast[k - 2] : 0;
    const int parent = ctx.ilast[k - 1] - below;
    const int nested = ctx.ilast[k] - ctx.ilast[k - 1];
    if (nested <= parent) {
      events.nesting_order_wrong();
      throw Stopped(StopReason::kNestingOrder, kNestingOrderText, true, stop_words(found, kNestingOrderWords));
    }
  }
  centre(ctx.n, 1, ctx.mtot, w.x);
}

}  // namespace morvenak
