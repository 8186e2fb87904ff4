// The permutation test's progress bar; see progress.hpp.
#include "progress.hpp"

#include <cmath>
#include <cstdio>
#include <utility>

#include <unistd.h>

namespace run {

namespace {

std::string clock_text(double seconds) {
    const long s = static_cast<long>(std::lround(seconds));
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return buffer;
}

void put(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t done = ::write(fd, p, left);
        if (done <= 0) return;  // a console that went away loses its bar, nothing more
        p += done;
        left -= static_cast<std::size_t>(done);
    }
}

}  // namespace

ProgressBar::ProgressBar(ProgressMode mode, int fd, bool terminal)
    : enabled_(mode == ProgressMode::kAlways || (mode == ProgressMode::kAuto && terminal)),
      delay_(mode == ProgressMode::kAlways ? 0.0 : 1.0),
      fd_(fd) {}

std::string ProgressBar::line(std::int64_t done, std::int64_t total, double seconds,
                              const std::string& what) {
    const int width = 20;
    const double part = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    const int filled = static_cast<int>(part * width);
    std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(width - filled), '.') + "]";
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, " %s %lld/%lld", bar.c_str(), static_cast<long long>(done),
                  static_cast<long long>(total));
    std::string s = what + buffer;
    if (seconds > 0 && done > 0) {
        const double rate = static_cast<double>(done) / seconds;
        std::snprintf(buffer, sizeof buffer, ", %.0f/s, %s left", rate,
                      clock_text(static_cast<double>(total - done) / rate).c_str());
        s += buffer;
    }
    return s;
}

void ProgressBar::start(std::int64_t total, std::string what) {
    what_ = std::move(what);
    total_ = total;
    done_ = 0;
    start_ = last_ = Clock::now();
}

void ProgressBar::update(std::int64_t done) {
    done_ = done;
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (std::chrono::duration<double>(now - start_).count() < delay_) return;
    if (shown_ && done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
    draw(done, now);
}

void ProgressBar::finish() {
    if (!shown_) return;
    draw(done_, Clock::now());
    put(fd_, "\n");
    shown_ = false;
}

void ProgressBar::draw(std::int64_t done, Clock::time_point now) {
    std::string text =
        line(done, total_, std::chrono::duration<double>(now - start_).count(), what_);
    const std::size_t width = text.size();
    if (width < width_) text += std::string(width_ - width, ' ');
    width_ = width;
    put(fd_, "\r" + text);
    shown_ = true;
    last_ = now;
}

}  // namespace run
