// The shared main of the companion tools; see toolmain.hpp.
#include "toolmain.hpp"

#include "toolerror.hpp"

#include <filesystem>
#include <iostream>
#include <new>

namespace tools {

namespace {

// The message of a file system error: the path(s) it concerns, then the system's reason.
std::string describe(const std::filesystem::filesystem_error& e) {
    std::string paths = e.path1().string();
    if (!e.path2().empty()) paths += ", " + e.path2().string();
    return (paths.empty() ? std::string() : paths + ": ") + e.code().message();
}

}  // namespace

int tool_main(const std::string& name, CLI::App& app, int argc, const char* const* argv,
              const std::function<int()>& body) {
    int status = 0;
    std::string message;
    try {
        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            // --help prints and ends with 0; every option error ends with 2.
            return app.exit(e) == 0 ? 0 : status_error;
        }
        status = body();
    } catch (const ToolError& e) {
        status = e.status;
        message = e.what();
    } catch (const std::filesystem::filesystem_error& e) {
        status = status_error;
        message = describe(e);
    } catch (const std::bad_alloc&) {
        status = status_beyond_limits;  // the task cannot be done within this memory
        message = "not enough memory";
    } catch (const std::exception& e) {
        status = status_error;
        message = e.what();
    }
    std::cout.flush();
    if (!std::cout && status == 0) {
        status = status_error;
        message = "standard output: cannot write the summary of the run";
    }
    if (!message.empty()) std::cerr << name << ": " << message << "\n" << std::flush;
    return status;
}

}  // namespace tools
