// A factor file: a header "n m", then n rows of m dummy variables.
#include "input/read_x.hpp"

#include <string>

#include "text/channels.hpp"
#include "text/layout.hpp"
#include "text/listio.hpp"
#include "text/runend.hpp"
#include "input/checkcol.hpp"

namespace morvenak {

void read_x(RunContext& ctx, Workspace& w, int f, int& coding, int& collinear) {
  const int unit = kResponseUnit + f;
  std::string name;
  read_text(kFofnUnit, name);
  open_old(unit, name);
  int nf = 0;
  int pf = 0;
  list_read(unit, {ReadVar::integer(nf), ReadVar::integer(pf)});

  // Wide arithmetic: a huge count in the header must not wrap around the limit test.
  const long long last = static_cast<long long>(ctx.mtot) + pf;
  const bool too_many = last > kMaxDummies;
  const int first = ctx.mtot + 1;
  ctx.ifirst[f - 1] = first;
  ctx.ilast[f - 1] = too_many ? kMaxDummies + 1 : static_cast<int>(last);
  ctx.mtot = ctx.ilast[f - 1];

  write_both(R"((" File containing factor ", I1, ":         ", A32, /, I6, " objects", /, I6, " dummy variables"))",
             {unit - kResponseUnit, unit_name(unit), nf, pf});
  if (too_many) {
    write_both(R"((" *** Too many explanatory variables. Redimension the program.", /))");
    stop();
  }
  if (nf != ctx.n) stop("Mismatch between Y and explanatory file");
  if (pf < 0) {
    write_both(R"((" *** The number of dummy variables is negative. Program stopped.", /))");
    stop();
  }

  // Null values read as 0, as for the response file.
  for (int j = first; j < first + pf; ++j)
    for (int i = 1; i <= nf; ++i) w.x(i, j) = 0.0;
  for (int i = 1; i <= nf; ++i)
    if (pf > 0) list_read(unit, {ReadVar::reals(&w.x(i, first), pf, w.x.ld)});
  list_write(kReportUnit);
  close_unit(unit);

  const int last_col = ctx.ilast[f - 1];
  if (ctx.icheck == 1) {
    coding = 0;
    for (int j = first; j <= last_col; ++j) {
      double s = 0.0;
      for (int i = 1; i <= nf; ++i) s += w.x(i, j);
      if (s != 0.0) {
        coding = 1;
        write_both(R"((" *** The variables coding for factor", I2, " do not all sum to 0", /))", {f});
      }
    }
    for (int j1 = first; j1 <= last_col; ++j1) {
      for (int j2 = j1 + 1; j2 <= last_col; ++j2) {
        double s = 0.0;
        for (int i = 1; i <= nf; ++i) s += w.x(i, j1) * w.x(i, j2);
        if (s != 0.0) {
          coding = 1;
          write_both(R"((" *** The variables coding for factor", I2, " are not orthogonal", /))", {f});
        }
      }
    }
  }

  for (int i = 1; i <= nf; ++i)
    for (int j = 1; j <= pf; ++j) w.xwk(i, j) = w.x(i, first + j - 1);
  centred_crossproduct_singular(ctx.n, pf, w, collinear);
  if (collinear == 1) write_both(R"((" *** The variables coding for factor", I2, " are collinear", /))", {f});
}

}  // namespace morvenak
