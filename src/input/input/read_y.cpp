// The response file: a header "n p", then n rows of p values.
#include "input/read_y.hpp"
#include "input/transform.hpp"

#include <string>

#include "text/channels.hpp"
#include "text/layout.hpp"
#include "text/listio.hpp"
#include "text/runend.hpp"
#include "linalg/produit.hpp"

namespace morvenak {

void read_y(RunContext& ctx, Workspace& w) {
  std::string name;
  read_text(kFofnUnit, name);
  open_old(kResponseUnit, name);
  int n = 0;
  int p = 0;
  list_read(kResponseUnit, {ReadVar::integer(n), ReadVar::integer(p)});
  write_both(R"((/, " File of response variables:       ", A32, /, I6, " objects", /, I6, " species"))",
             {unit_name(kResponseUnit), n, p});
  if (n > kMaxObjects || p > kMaxSpecies) {
    write(kConsoleOut, R"((" File too large. Redimension the program."))");
    stop();
  }
  if (n < 0 || p < 0) {
    write_both(R"((" *** The number of objects or of species is negative. Program stopped.", /))");
    stop();
  }
  ctx.n = n;
  ctx.p = p;
  // A null value (",," or a row cut short by "/") keeps what the cell held:
  // 0, never what an earlier run or file left in the array.
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= n; ++i) w.y(i, j) = 0.0;
  for (int i = 1; i <= n; ++i) list_read(kResponseUnit, {ReadVar::reals(&w.y(i, 1), p, w.y.ld)});
  close_unit(kResponseUnit);

  if (ctx.itrans == 0) list_write(kReportUnit, {"No transformation of the species data"});
  else transform(n, p, w.y, w.colsum, ctx.itrans);

  centre(n, 1, p, w.y);
  double ssy = 0.0;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= p; ++j) ssy += w.y(i, j) * w.y(i, j);
  ctx.ssy = ssy;
  write(kReportUnit, R"((" Total sum of squares in Y [transformed] (SSY) =", F19.5, /))", {ssy});
}

}  // namespace morvenak
