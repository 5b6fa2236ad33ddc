#include "render/progress.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace taluna::render {
namespace {
bool quietRun = false;
}  // namespace

void setQuiet(bool quiet) { quietRun = quiet; }

void notice(const std::string& text) {
    if (!quietRun) std::fprintf(stderr, "%s\n", text.c_str());
}

Progress::Progress(std::string label, uint64_t total, bool percentLine)
    : label_(std::move(label)),
      total_(total),
      terminal_(!quietRun && isatty(STDERR_FILENO) == 1),
      percentLine_(!quietRun && percentLine) {}

Progress::~Progress() { finish(); }

void Progress::update(uint64_t done, const std::string& note) {
    if (finished_) return;
    done_ = done;
    note_ = note;
    const int percent = total_ ? static_cast<int>(done_ * 100 / total_) : 100;
    if (terminal_) {
        // Redrawing costs a write per call: at most ten times a second, and always at the end.
        const auto now = std::chrono::steady_clock::now();
        if (done_ < total_ && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = now;
        draw();
    } else if (percentLine_) {
        const int step = percent / 10 * 10;
        if (step <= percentShown_) return;
        if (percentShown_ < 0) std::fprintf(stderr, "%s:", label_.c_str());
        std::fprintf(stderr, " %d%%", step);
        std::fflush(stderr);
        percentShown_ = step;
    }
}

void Progress::draw() {
    constexpr int kWidth = 30;
    const double fraction = total_ ? static_cast<double>(done_) / static_cast<double>(total_) : 1.0;
    const int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '-');
    std::fprintf(stderr, "\r\033[K%s [%s] %3d%%%s%s", label_.c_str(), bar.c_str(), static_cast<int>(fraction * 100.0),
                 note_.empty() ? "" : "  ", note_.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::erase() {
    if (!drawn_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

void Progress::print(const std::string& line) {
    if (terminal_) erase();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (terminal_ && drawn_ && !finished_) draw();
}

void Progress::finish() {
    if (finished_) return;
    finished_ = true;
    if (terminal_ && drawn_) {
        draw();
        std::fputc('\n', stderr);
    } else if (percentShown_ >= 0) {
        std::fputc('\n', stderr);
    }
    std::fflush(stderr);
}

std::string formatDuration(double seconds) {
    char buf[64];
    if (!(seconds >= 0.0)) seconds = 0.0;
    if (seconds < 1.0) {
        std::snprintf(buf, sizeof buf, "%.0f ms", seconds * 1000.0);
    } else if (seconds < 60.0) {
        std::snprintf(buf, sizeof buf, "%.0f s", seconds);
    } else {
        const long s = std::lround(seconds);
        if (s < 3600) std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
        else std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    }
    return buf;
}

}  // namespace taluna::render
