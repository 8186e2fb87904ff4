// Entry point. With no arguments the whole program is the run driver; the
// only arguments it knows print the usage or the version, and create no file.
#include <cstdio>
#include <cstring>

#include "driver/driver.hpp"
#include "morvenak/analysis.hpp"

namespace {

const char* const kUsage =
    "usage: morvenak            run the analysis; answer the dialogue on standard input\n"
    "       morvenak --help     show this text\n"
    "       morvenak --version  show the version\n"
    "\n"
    "Nested multivariate analysis of variance by canonical redundancy analysis.\n"
    "The dialogue asks for a file that lists the response file and 1 to 3 factor\n"
    "files, the task, the transformation, the number of permutations and whether to\n"
    "check the coding. The report goes to Morvenak.out, ordinations to FittedSc.out;\n"
    "neither may exist beforehand. See README.md for the user guide.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) return morvenak::run_program();
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("morvenak %s\n", morvenak::version());
    return 0;
  }
  std::fprintf(stderr, "morvenak: unknown argument '%s'\n%s", argv[1], kUsage);
  return 2;
}
