// Two factors are collinear when, centred and taken together, their dummy
// variables have a singular cross-product matrix.
#include "core/fp_contract.hpp"
#include "input/checkcol.hpp"

#include "linalg/gaussj.hpp"
#include "linalg/produit.hpp"

namespace morvenak {

void centred_crossproduct_singular(int n, int m, Workspace& w, Events* events, int& flag) {
  centre(n, 1, m, w.xwk);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= m; ++j) w.trans(j, i) = w.xwk(i, j);
  produit(w.trans, w.xwk, w.inv, m, n, m);
  gaussj(m, w.inv, w.gauss(events), flag);
}

void checkcol(const RunContext& ctx, Workspace& w, int a, int b, int& flag) {
  flag = 0;
  int count = 0;
  selectx(ctx.n, ctx.ifirst, ctx.ilast, a, w.x, w.xwk, count);
  selectx(ctx.n, ctx.ifirst, ctx.ilast, b, w.x, w.xwk, count);
  centred_crossproduct_singular(ctx.n, count, w, ctx.events, flag);
}

}  // namespace morvenak
