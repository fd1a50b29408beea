// The status line of a run on a terminal: the phase, the share of the payload
// read so far and the bytes read of the total, on standard error.
#pragma once

#include <cstddef>
#include <ctime>

#include "codec/codec.h"
#include "driver/driver.h"

namespace driver {

// The line's state while a phase runs (driver::progress).
struct progress_line {
    const char *phase;      // the phase shown, or null when none is
    codec::off64 payload;   // bytes from preamble_end to the end of the archive
    codec::off64 first;     // payload offset of the phase's first refill
    codec::off64 done;      // payload bytes read so far
    codec::off64 clock_due; // done at which the clock is looked at again
    std::size_t width;      // longest line the terminal takes without wrapping
    bool shown;             // a line stands on the terminal
    // Kept across phases, so that the next phase's first line respects the rate too.
    timespec last_draw;
    bool ever_drawn;
};

// Smaller payloads show no status line: they are read before one would help.
constexpr codec::off64 PROGRESS_MIN_PAYLOAD = codec::off64{8} << 20;

// Starts the status line of `phase` ("checking", "extracting") when standard
// error is a terminal (and not under -q) and the payload (preamble_end to the end of fd) is at
// least PROGRESS_MIN_PAYLOAD; otherwise nothing is shown until progress_end.
// `first` is the payload offset of the phase's first read: from there the
// codec's refills are counted through codec::bytes_in, which the caller has
// just cleared. Sets codec::refill_hook and codec::message_hook.
void progress_begin(const char *phase, int fd, codec::off64 first);

// For reads that bypass the codec: `done` payload bytes read so far.
void progress_at(codec::off64 done);

// Erases the line, if one stands; async-signal-safe (write alone), for a run
// that a signal ends.
void progress_erase();

// Erases the line, leaving the terminal as it was without it, and clears the
// hooks. Nothing to do when no line was shown.
void progress_end();

} // namespace driver
