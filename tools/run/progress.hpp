// The progress bar of the permutation test, on standard error: the count, the rate
// and the time left, redrawn in place at most ten times a second. With `auto` it shows
// only on a terminal and only once the test has run for a second; with `always` it
// shows from the first permutation wherever standard error goes; with `never` not at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace run {

enum class ProgressMode { kAuto, kAlways, kNever };

class ProgressBar {
public:
    using Clock = std::chrono::steady_clock;
    // fd: where the bar goes; terminal: whether fd is one (decides `auto`).
    ProgressBar(ProgressMode mode, int fd, bool terminal);
    // `what` names the count ("Permutation test", "Pairs of Dose").
    void start(std::int64_t total, std::string what = "Permutation test");
    void update(std::int64_t done);
    // Draws the last state and ends the line, when the bar was shown.
    void finish();
    // Whether the bar is shown at all (auto: on a terminal; always).
    bool enabled() const { return enabled_; }

    // The bar's text for `done` of `total` after `seconds` (without "\r").
    static std::string line(std::int64_t done, std::int64_t total, double seconds,
                            const std::string& what = "Permutation test");

private:
    void draw(std::int64_t done, Clock::time_point now);
    bool enabled_;
    double delay_;  // seconds before the first drawing
    int fd_;
    std::string what_;
    std::int64_t total_ = 0;
    std::int64_t done_ = 0;
    bool shown_ = false;
    std::size_t width_ = 0;  // of the last line drawn, to blank what it leaves
    Clock::time_point start_{};
    Clock::time_point last_{};
};

}  // namespace run
