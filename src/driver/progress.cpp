// The status line of a run on a terminal, redrawn in place at most ten times a
// second and erased when its phase ends. Owns the line's state while shown.
#include "driver/progress.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"

namespace driver {

progress_line progress;

namespace {

constexpr long REDRAW_NS = 100'000'000;  // at most ten lines a second
constexpr std::size_t LINE_MAX = 80;     // the longest line drawn, before the terminal's width cuts it

// n in B, KiB, MiB, GiB or TiB with one decimal, into buf.
void human(codec::off64 n, char *buf, std::size_t size) {
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (n < 1024) {
        std::snprintf(buf, size, "%lld B", static_cast<long long>(n));
        return;
    }
    int u = 0;
    codec::off64 unit = 1024;
    while (u < 3 && n / unit >= 1024) {
        unit <<= 10;
        u++;
    }
    std::snprintf(buf, size, "%lld.%lld %s", static_cast<long long>(n / unit),
                  static_cast<long long>(n % unit * 10 / unit), units[u]);
}

// Writes all of s to standard error, or gives up: a status line that cannot be
// shown is no reason to fail the run.
void put(const char *s, std::size_t n) {
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, s, n);
        if (w <= 0) return;
        s += w;
        n -= static_cast<std::size_t>(w);
    }
}

void draw() {
    char line[LINE_MAX + 1], got[32], of[32];
    human(progress.done, got, sizeof got);
    human(progress.payload, of, sizeof of);
    codec::off64 pct = progress.done >= progress.payload ? 100 : progress.done * 100 / progress.payload;
    std::snprintf(line, sizeof line, "%s %3d%% (%s of %s)", progress.phase, static_cast<int>(pct), got, of);
    std::size_t len = std::strlen(line);
    if (len > progress.width) len = progress.width;
    // "\r", the line, then erase what a longer earlier line left to its right.
    char out[LINE_MAX + 8];
    out[0] = '\r';
    std::memcpy(out + 1, line, len);
    std::memcpy(out + 1 + len, "\033[K", 3);
    put(out, len + 4);
    progress.shown = true;
    progress.ever_drawn = true;
}

void erase() {
    if (!progress.shown) return;
    put("\r\033[K", 4);
    progress.shown = false;
}

// Draws when REDRAW_NS have passed since the last line. The clock is read at
// most once per refill's worth of input, so that the check costs nothing
// measurable next to decoding it.
void tick() {
    if (progress.done < progress.clock_due) return;
    progress.clock_due = progress.done + static_cast<codec::off64>(codec::INBUFSIZ);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long since = (static_cast<long long>(now.tv_sec) - progress.last_draw.tv_sec) * 1'000'000'000LL +
                      (now.tv_nsec - progress.last_draw.tv_nsec);
    if (progress.ever_drawn && since < REDRAW_NS) return;
    progress.last_draw = now;
    draw();
}

void on_refill() { progress_at(progress.first + codec::bytes_in); }

} // namespace

void progress_begin(const char *name, int fd, codec::off64 start) {
    progress.phase = nullptr;
    if (quiet || !isatty(STDERR_FILENO)) return;
    struct stat64 st;
    if (fstat64(fd, &st) != 0 || st.st_size - preamble_end < PROGRESS_MIN_PAYLOAD) return;
    progress.payload = st.st_size - preamble_end;
    progress.first = start;
    progress.done = start;
    progress.clock_due = start;
    progress.width = LINE_MAX;
    if (winsize ws{}; ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 && ws.ws_col - 1u < progress.width)
        progress.width = ws.ws_col - 1u;
    progress.phase = name;
    codec::refill_hook = on_refill;
    codec::message_hook = erase;
    tick();
}

void progress_at(codec::off64 n) {
    if (progress.phase == nullptr) return;
    progress.done = n;
    tick();
}

void progress_erase() { erase(); }

void progress_end() {
    if (progress.phase == nullptr) return;
    erase();
    progress.phase = nullptr;
    codec::refill_hook = nullptr;
    codec::message_hook = erase;
}

} // namespace driver
