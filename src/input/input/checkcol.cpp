// Two factor files are collinear when, centred and taken together, their
// dummy variables have a singular cross-product matrix.
#include "input/checkcol.hpp"

#include "text/channels.hpp"
#include "text/layout.hpp"
#include "linalg/gaussj.hpp"
#include "linalg/produit.hpp"

namespace morvenak {

void centred_crossproduct_singular(int n, int m, Workspace& w, int& flag) {
  centre(n, 1, m, w.xwk);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= m; ++j) w.trans(j, i) = w.xwk(i, j);
  produit(w.trans, w.xwk, w.inv, m, n, m);
  gaussj(m, w.inv, w.gauss(), flag);
}

void checkcol(RunContext& ctx, Workspace& w, int a, int b, int& flag) {
  flag = 0;
  int count = 0;
  selectx(ctx.n, ctx.ifirst, ctx.ilast, a, w.x, w.xwk, count);
  selectx(ctx.n, ctx.ifirst, ctx.ilast, b, w.x, w.xwk, count);
  centred_crossproduct_singular(ctx.n, count, w, flag);
  if (flag == 1) write_both(R"((" *** Collinearity detected between files X", I1, " and X", I1))", {a, b});
}

}  // namespace morvenak
