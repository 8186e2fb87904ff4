// Tests of the tools' shared main: how each way a tool's body can end becomes a
// message on standard error and an exit status.
#include "common/toolerror.hpp"
#include "common/toolmain.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <system_error>
#include <vector>

namespace {

struct Ending {
    int status;
    std::string err;
};

// Runs tool_main on the arguments with a body that calls f, capturing standard error.
template <class F>
Ending end_of(std::vector<const char*> args, F f) {
    CLI::App app{"test tool", "tool"};
    std::string value;
    app.add_option("-v,--value", value, "a value")->required();
    args.insert(args.begin(), "tool");
    testing::internal::CaptureStderr();
    int status = tools::tool_main("tool", app, static_cast<int>(args.size()), args.data(), [&] {
        f();
        return 0;
    });
    return {status, testing::internal::GetCapturedStderr()};
}

const std::vector<const char*> good{"-v", "x"};

TEST(ToolMain, EveryErrorEndsWithTwoAndOnlyLimitsAndMemoryWithOne) {
    Ending e = end_of(good, [] {});
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.err, "");

    e = end_of(good, [] { throw tools::ToolError("t.csv, line 2: bad"); });
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(e.err, "tool: t.csv, line 2: bad\n");

    e = end_of(good, [] { throw tools::beyond_limits("t.csv: too big"); });
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.err, "tool: t.csv: too big\n");

    e = end_of(good, [] {
        throw std::filesystem::filesystem_error(
            "status", "loop/x", std::make_error_code(std::errc::too_many_symbolic_link_levels));
    });
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(e.err, "tool: loop/x: Too many levels of symbolic links\n");

    e = end_of(good, [] { throw std::bad_alloc(); });
    EXPECT_EQ(e.status, 1);  // the task cannot be done within this memory
    EXPECT_EQ(e.err, "tool: not enough memory\n");

    e = end_of(good, [] { throw std::runtime_error("odd"); });
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(e.err, "tool: odd\n");
}

TEST(ToolMain, OptionErrorsEndWithTwoAndHelpWithZero) {
    bool ran = false;
    Ending e = end_of({}, [&] { ran = true; });
    EXPECT_EQ(e.status, 2);  // CLI11's own code would be 106
    EXPECT_EQ(e.err, "--value is required\nRun with --help for more information.\n");
    e = end_of({"-v", "x", "--bogus"}, [&] { ran = true; });
    EXPECT_EQ(e.status, 2);  // 109
    e = end_of({"-v"}, [&] { ran = true; });
    EXPECT_EQ(e.status, 2);
    EXPECT_FALSE(ran);
    testing::internal::CaptureStdout();
    e = end_of({"--help"}, [&] { ran = true; });
    const std::string help = testing::internal::GetCapturedStdout();
    EXPECT_EQ(e.status, 0);
    EXPECT_FALSE(ran);
    EXPECT_NE(help.find("test tool"), std::string::npos) << help;
}

}  // namespace
