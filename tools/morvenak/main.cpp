// The morvenak executable. With no argument it is the classic program, whose dialogue
// asks for the data on standard input. Its subcommands, in the way git runs its own:
// run (tables to results in one command), prepare (tables to the classic input files)
// and plot (the helper morvenak-plot, found beside this executable and run in its
// place, so that the drawing library never links into this one).
#include "driver/driver.hpp"
#include "morvenak/analysis.hpp"
#include "prepare/command.hpp"
#include "run/command.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char* const kUsage =
    "usage: morvenak                        run the classic analysis; answer the dialogue on "
    "standard input\n"
    "       morvenak run --species FILE --labels FILE --main COLUMN [--nested COLUMN]... "
    "[options]\n"
    "                                       from two tables to the report and named results in a "
    "new folder\n"
    "       morvenak prepare -s FILE -l FILE -m COLUMN [-n COLUMN]... [options]\n"
    "                                       from two tables to the classic input files\n"
    "       morvenak plot [FOLDER | SCOREFILE] [options]\n"
    "                                       figures (SVG, PDF or PNG) of the ordinations of a "
    "results\n"
    "                                       folder of morvenak run, or of a score file "
    "(default FittedSc.out)\n"
    "       morvenak COMMAND --help         the options of a command\n"
    "       morvenak --help                 show this text\n"
    "       morvenak --version              show the version\n"
    "\n"
    "Nested multivariate analysis of variance by canonical redundancy analysis.\n"
    "The dialogue asks for a file that lists the response file and 1 to 3 factor\n"
    "files, the task, the transformation, the number of permutations and whether to\n"
    "check the coding. The report goes to Morvenak.out, ordinations to FittedSc.out;\n"
    "neither may exist beforehand. See README.md for the user guide.\n";

// The folder of this executable, from the link the kernel keeps to it.
std::string own_folder() {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t len = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (len <= 0) return "";
    std::string path(buffer.data(), static_cast<std::size_t>(len));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

int plot(int argc, char** argv) {
    const std::string helper = own_folder() + "/morvenak-plot";
    std::vector<char*> args{const_cast<char*>(helper.c_str())};
    for (int k = 2; k < argc; ++k) args.push_back(argv[k]);
    args.push_back(nullptr);
    ::execv(helper.c_str(), args.data());
    std::fprintf(stderr, "morvenak plot: cannot run %s: %s; it is installed beside morvenak\n",
                 helper.c_str(), std::strerror(errno));
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return morvenak::run_program();
    const std::string first = argv[1];
    if (first == "run") return run::run_command("morvenak run", argc - 1, argv + 1);
    if (first == "prepare") return prepare::prepare_command("morvenak prepare", argc - 1, argv + 1);
    if (first == "plot") return plot(argc, argv);
    if (argc == 2 && first == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && first == "--version") {
        std::printf("morvenak %s\n", morvenak::version());
        return 0;
    }
    std::fprintf(stderr, "morvenak: unknown argument '%s'\n%s", argv[1], kUsage);
    return 2;
}
