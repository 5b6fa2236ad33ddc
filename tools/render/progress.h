// Progress of long steps (reading a file, rendering a sequence) on stderr: a bar redrawn in place when
// stderr is a terminal; otherwise, so that logs stay readable, optional percentage steps on one line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace taluna::render {

class Progress {
public:
    // percentLine: without a terminal, print "label: 10% 20% ... 100%" instead of nothing.
    Progress(std::string label, uint64_t total, bool percentLine);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `done` of `total` finished; `note` follows the bar (e.g. the ETA).
    void update(uint64_t done, const std::string& note = "");
    // Prints a line on stdout without leaving a half-drawn bar in the middle of it.
    void print(const std::string& line);
    // Ends the bar's or the percentages' line.
    void finish();

private:
    void draw();
    void erase();

    std::string label_;
    uint64_t total_;
    uint64_t done_ = 0;
    std::string note_;
    bool terminal_;
    bool percentLine_;
    int percentShown_ = -1;  // last multiple of 10 printed without a terminal
    bool drawn_ = false;
    bool finished_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// --quiet: no progress bars or percentages, and notice() prints nothing. Set before any Progress is made.
void setQuiet(bool quiet);
// A line on stderr, where notices and warnings go (stdout holds the results), unless quiet.
void notice(const std::string& text);

// "850 ms", "42 s", "3:07", "1:02:03".
std::string formatDuration(double seconds);

}  // namespace taluna::render
