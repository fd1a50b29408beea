// The encoder on several threads, writing exactly the single-threaded bytes.
// A reader thread reads the input ahead into a ring; parse workers each parse
// one chunk of it with a window and chains of their own; the calling thread,
// the joiner, takes their parses in input order and does everything that
// decides the output itself: the tally, the blocks, the window and its slides.
// Owns the ring, the jobs and the workers of the member being written.
//
// Why a worker's parse can be taken as it is. Every position enters the hash
// chains and no search looks more than MAX_DIST back, so a worker that first
// inserts the 32 KiB before its chunk has the chains the single-threaded
// encoder has there. Away from the input's end the lookahead never cuts a
// match, and position 0 of a slid window is never within reach of a search
// (the window slides only once strstart is past 65274, as reads fill it
// whole), so what the lazy loop does from a step on depends only on the input
// and on the loop's state there. A worker starts its chunk as if a match had
// just ended there; from the first step boundary at which the true parse is
// in the same state, the worker's parse is the true parse. The joiner knows
// the true parse up to where it stands; it looks for that boundary among the
// states the worker can show (after a match; or a literal waiting with no
// match found), parses up to it itself, and replays the worker's parse from
// there. Whatever it cannot prove to agree it parses itself, the end of the
// input included, so a worker's guess never reaches the output.
//
// Runs of one byte. After a match that ends at s, with window[s - 1..s + 257]
// one byte value and more than MIN_LOOKAHEAD bytes ahead, the lazy loop's next
// two steps are fixed at every lazy level: the search at s meets s - 1 first,
// at distance 1 and of length MAX_MATCH (as long as any nice_match), and the
// step after takes it without a search (MAX_MATCH is not below any
// max_lazy_match). Both the workers and the joiner step over such runs with
// the tallies alone and insert nothing; the chains are built again before the
// next search. Across a run a parse's match ends depend on where it entered
// the run, so a worker whose chunk starts inside one starts its parse where
// the run ends, and the joiner, crossing the run at its own phase, meets it
// past the run, among the waiting-literal states, which a worker records
// over the first QUIET_SPAN bytes of its parse and after each run it crossed.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/match_finder.h"

namespace codec {

int zip_threads = 1;
std::size_t zip_chunk = std::size_t{1} << 20;
off64 zip_reparsed;

int affinity_threads() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n < 1 ? 1 : n;
}

namespace {

using namespace finder;

constexpr off64 NONE = std::numeric_limits<off64>::max();
// Input a worker may read past its chunk: its last step's lookahead, with room.
constexpr off64 CHUNK_MARGIN = 1024;
// A run is stepped over, the chains rebuilt after it, only when it is at
// least this long: rebuilding them costs about one insertion per position of
// the window.
constexpr unsigned RUN_MIN = 16384;
// Lazy steps between two looks for a run to step over.
constexpr unsigned PIECE = 4096;
// The worker shows its waiting-literal states over this many bytes from its
// start and from the end of each run it crossed; the true parse nearly always
// meets it within a few hundred.
constexpr unsigned QUIET_SPAN = 16384;
constexpr std::size_t READ_SIZE = std::size_t{1} << 18; // largest read of the reader thread
constexpr unsigned LONG_GAP = 511;                       // gap field of an item whose gap follows it
static_assert(MAX_DIST <= 1u << 15 && MAX_MATCH - MIN_MATCH < 1u << 8, "an item's distance and length fields");

// A worker's parse of one chunk, from `from` (its start, or the end of a run
// at its start) to the first step boundary at or after its end: the matches
// in input order, the positions between them being literals. An item packs
// the count of literals before the match (bits 23..31; LONG_GAP: the count is
// the next item), the length - 3 (bits 15..22) and the distance - 1 (bits 0..14).
struct parse_record {
    std::uint32_t *items;                 // room for every match a chunk can hold
    std::size_t count;
    std::uint64_t *quiet;                 // bit i: at the step boundary from + i a literal waited, no match found (where recorded)
    std::size_t quiet_bits;               // positions quiet covers: the chunk's size
    std::size_t quiet_top;                // no bit from here on is set: what recording reached
    off64 from;                           // input position the parse starts at, as after a match
    off64 end;                            // input position where the parse stopped
    lazy_state at_end;                    // the state there, its start replaced by...
    unsigned pending_dist;                // ...the distance of a waiting match, from end - 1
};

// One chunk of the input and its parse. Written by the worker that took it,
// read by the joiner once done.
struct job {
    off64 x, y;       // the chunk [x, y), input positions of this member
    off64 data_end;   // the worker reads the input up to here
    bool done;
    parse_record rec;
};

struct pool;

// One worker's match finder: the process-wide finder's state, its own copy.
//  name                       meaning                                            written by / read by
struct parse_worker {
    static constexpr unsigned min_ahead = MIN_LOOKAHEAD; // it stops where the lookahead could cut a match
    uch window[2 * WSIZE + WINDOW_SLACK]; // as the process-wide window; window[0] is input byte `base`   fill_window / the steps
    ush head[HASH_SIZE];                  // hash heads                                       insert_string, fill_window
    ush prev[PREV_SIZE];                  // chain links                                      insert_string, fill_window / longest_from
    std::uint64_t prev_after[WINDOW_SIZE]; // the four links after each                       insert_string, fill_window / longest_from
    unsigned strstart, lookahead, match_start, prev_length, ins_h; // as the process-wide ones   the steps
    int eofile;                           // the worker's input (to data_end) is exhausted    fill_window
    unsigned max_lazy_match, good_match, max_chain_length; // the level's tuning           parse_chunk / the steps
    int nice_match;
    off64 base;                           // input position of window[0]                       parse_chunk, slid
    off64 read_pos;                       // next input byte to copy into the window           read
    off64 data_end;                       // end of the input it may read                       parse_chunk / read
    long mark_offset;                     // base - rec->from: window position to record offset   parse_chunk, slid / mark, tally
    unsigned last_end;                    // record offset after the last match recorded       tally
    unsigned quiet_until;                 // window position below which quiet states are recorded   parse_chunk, parse_on, slid / mark
    bool fresh;                           // the chains are ready for a search at strstart      parse_chunk, parse_on
    const pool *shared;                   // the ring it reads                                  parse_chunk / read
    pool *owner;                          // the pool whose jobs it takes                       parallel_begin / worker_thread
    parse_record *rec;                    // the parse being recorded                           parse_chunk / mark, tally

    void mark(unsigned s, int match_available, unsigned match_length) {
        if (s < quiet_until && match_available && match_length == MIN_MATCH - 1) {
            const unsigned i = static_cast<unsigned>(mark_offset + static_cast<long>(s));
            rec->quiet[i / 64] |= std::uint64_t{1} << (i % 64);
        }
    }
    int tally(unsigned dist, unsigned lc) {
        if (dist == 0) return 0;
        const unsigned at = static_cast<unsigned>(mark_offset + static_cast<long>(strstart) - 1);
        const unsigned gap = at - last_end;
        const std::uint32_t item = lc << 15 | (dist - 1);
        if (gap >= LONG_GAP) {
            rec->items[rec->count++] = LONG_GAP << 23 | item;
            rec->items[rec->count++] = gap;
        } else {
            rec->items[rec->count++] = gap << 23 | item;
        }
        last_end = at + lc + MIN_MATCH;
        return 0; // the joiner decides where blocks end
    }
    static void flush() {}
    int read(uch *buf, unsigned size);
    void slid() {
        base += static_cast<off64>(WSIZE);
        mark_offset += static_cast<long>(WSIZE);
        quiet_until = quiet_until > WSIZE ? quiet_until - static_cast<unsigned>(WSIZE) : 0;
    }
    void fill() {
        do fill_window(*this, true);
        while (lookahead < MIN_LOOKAHEAD && !eofile);
    }
    // As fill, the chains left as they are: they are built again before the next search.
    void refill() {
        do fill_window(*this, false);
        while (lookahead < MIN_LOOKAHEAD && !eofile);
    }
};

// What the reader, the workers and the joiner share. Guarded by mu, except
// the ring's bytes: they are written only from `filled` on and read only
// below it, and not overwritten before `low`'s advance lets them be.
struct pool {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    int fd;                   // the input                                                 reader
    uch *ring;                // input position p is at ring[p % ring_size]
    std::size_t ring_size;
    off64 filled = 0;         // input bytes read so far                                    reader / all
    off64 low = 0;            // input before this is no longer needed                      joiner / reader
    bool ended = false;       // no more input: its end, or a failed read                  reader / all
    int error = 0;            // errno of the failed read, 0 at the end of the input       reader / ring_read
    bool quit = false;        // the member is over: threads return                        joiner / all
    std::size_t chunk;        // bytes per job (zip_chunk)
    unsigned slots;           // jobs in flight, at most
    job *jobs;                // job j in jobs[j % slots]
    off64 next_job = 0;       // the next job a worker takes                               workers
    off64 joined = 0;         // jobs the joiner is done with                              joiner / workers
    off64 read_pos = 0;       // the joiner's next input byte (ring_read)                  joiner
    off64 crossed = 0;        // input the joiner stepped over in runs, with no search     joiner
    unsigned nthreads = 0;
    pthread_t *threads;       // the workers that started, then the reader
    unsigned nworkers = 0;    // workers allocated
    parse_worker **workers;
};

// pthreads rather than std::thread: the static stub stays smaller by the
// C++ runtime's thread and error-reporting support.
struct locked {
    pool &p;
    explicit locked(pool &q) : p(q) { pthread_mutex_lock(&p.mu); }
    ~locked() { pthread_mutex_unlock(&p.mu); }
    locked(const locked &) = delete;
    locked &operator=(const locked &) = delete;
    template <class Pred>
    void wait(Pred ready) {
        while (!ready()) pthread_cond_wait(&p.cv, &p.mu);
    }
    void notify() { pthread_cond_broadcast(&p.cv); }
};

// The pool of the member being written, for ring_read, which has no argument
// to carry it; null between members.
pool *running;

void ring_copy(const pool &p, off64 pos, uch *dst, std::size_t n) {
    while (n > 0) {
        const std::size_t at = static_cast<std::size_t>(pos % static_cast<off64>(p.ring_size));
        const std::size_t k = std::min(n, p.ring_size - at);
        std::memcpy(dst, p.ring + at, k);
        dst += k;
        pos += static_cast<off64>(k);
        n -= k;
    }
}

// How many of the n bytes from q on equal b. Out of line: the stub's size.
[[gnu::noinline]] std::size_t same_bytes(const uch *q, std::size_t n, uch b) {
    const std::uint64_t pattern = 0x0101010101010101u * b;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t v;
        std::memcpy(&v, q + i, sizeof v);
        if (v != pattern) break;
    }
    while (i < n && q[i] == b) i++;
    return i;
}

// The first position from pos on, below end, whose ring byte is not b; end
// when there is none.
off64 ring_run_end(const pool &p, off64 pos, off64 end, uch b) {
    while (pos < end) {
        const std::size_t at = static_cast<std::size_t>(pos % static_cast<off64>(p.ring_size));
        const std::size_t k = static_cast<std::size_t>(std::min<off64>(end - pos, static_cast<off64>(p.ring_size - at)));
        const std::size_t n = same_bytes(p.ring + at, k, b);
        pos += static_cast<off64>(n);
        if (n < k) break;
    }
    return pos;
}

bool after_match(const lazy_state &st) { return !st.match_available && st.match_length == MIN_MATCH - 1; }

// Whether, after a match that ends at window position s with `ahead` bytes
// ahead, the lazy loop's next two steps take MAX_MATCH at distance 1. s - 1
// must be a candidate: position 0 is "none".
bool run_step(const uch *window, unsigned s, unsigned ahead) {
    return s >= 2 && ahead > MIN_LOOKAHEAD && same_bytes(window + s - 1, MAX_MATCH + 1, window[s - 1]) == MAX_MATCH + 1;
}

// Whether the run at s is worth the chains' rebuilding after it: it goes on
// for RUN_MIN bytes, or at least to the end of what the window holds.
bool worth_crossing(const uch *window, unsigned s, unsigned ahead) {
    const unsigned want = std::min(RUN_MIN, ahead + 1);
    return want > 4 * MAX_MATCH && same_bytes(window + s - 1, want, window[s - 1]) == want;
}

// Steps over the run at strstart, while run_step holds there and strstart is
// below stop (a window position), as the lazy loop would: the same tallies,
// block ends and refills, with no search and no insertion. m is in the state
// after a match, and stays in it. Works for the joiner and for the workers.
template <class M>
void cross_run(M &m, unsigned stop) {
    unsigned s = m.strstart;
    unsigned ahead = m.lookahead;
    while (s < stop && run_step(m.window, s, ahead)) {
        // The search step, which leaves more than MIN_LOOKAHEAD ahead (no
        // refill), then the step that takes the match.
        s++;
        ahead--;
        m.strstart = s;
        const int flush = m.tally(1, MAX_MATCH - MIN_MATCH);
        s += MAX_MATCH - 1;
        ahead -= MAX_MATCH - 1;
        if (flush) {
            m.strstart = s;
            m.flush();
        }
        if (ahead < MIN_LOOKAHEAD && !m.eofile) {
            m.strstart = s;
            m.lookahead = ahead;
            m.refill();
            stop = stop > s - m.strstart ? stop - (s - m.strstart) : 0;
            s = m.strstart;
            ahead = m.lookahead;
        }
    }
    m.strstart = s;
    m.lookahead = ahead;
}

int parse_worker::read(uch *buf, unsigned size) {
    const off64 n = std::min<off64>(size, data_end - read_pos);
    if (n <= 0) return 0;
    ring_copy(*shared, read_pos, buf, static_cast<std::size_t>(n));
    read_pos += n;
    return static_cast<int>(n);
}

// The pool's set-up, tear-down and reader are marked cold, compiled for size:
// they run once a member, and every archive carries the stub.
[[gnu::cold]] void reader_main(pool &p) {
    locked lk(p);
    for (;;) {
        lk.wait([&] { return p.quit || p.filled - p.low < static_cast<off64>(p.ring_size); });
        if (p.quit) return;
        const std::size_t at = static_cast<std::size_t>(p.filled % static_cast<off64>(p.ring_size));
        const std::size_t room = std::min({p.ring_size - static_cast<std::size_t>(p.filled - p.low),
                                           p.ring_size - at, READ_SIZE});
        pthread_mutex_unlock(&p.mu);
        const ssize_t got = ::read(p.fd, p.ring + at, room);
        const int e = errno;
        pthread_mutex_lock(&p.mu);
        if (got < 0 && e == EINTR) continue;
        if (got > 0) {
            p.filled += got;
        } else {
            p.ended = true;
            p.error = got < 0 ? e : 0;
        }
        lk.notify();
        if (p.ended) return;
    }
}

// w's parse from strstart in state st up to the first step boundary at or
// after input position stop, or to where its lookahead would cut a match;
// long runs are stepped over.
void parse_on(parse_worker &w, lazy_state &st, off64 stop) {
    while (w.lookahead >= MIN_LOOKAHEAD) {
        const off64 at = w.base + w.strstart;
        if (at >= stop) return;
        if (after_match(st) && run_step(w.window, w.strstart, w.lookahead) &&
            (!w.fresh || worth_crossing(w.window, w.strstart, w.lookahead))) {
            cross_run(w, static_cast<unsigned>(stop - w.base));
            w.fresh = false;
            // The true parse may have crossed the run at another phase, and
            // meet this one only past it.
            w.quiet_until = w.strstart + QUIET_SPAN;
            const std::size_t top = static_cast<std::size_t>(w.mark_offset + static_cast<long>(w.quiet_until));
            w.rec->quiet_top = std::min(w.rec->quiet_bits, std::max(w.rec->quiet_top, top));
            continue;
        }
        if (!w.fresh) {
            prime_chains(w, w.strstart > WSIZE ? w.strstart - static_cast<unsigned>(WSIZE) : 1, w.strstart);
            w.fresh = true;
        }
        // In a run the boundary after a search holds the match it found; one
        // step takes it, so that the next turn sees the run.
        const bool found = st.match_available && st.match_length == MAX_MATCH;
        lazy_steps<true>(w, st, found ? w.strstart + 1 : static_cast<unsigned>(std::min(stop, at + PIECE) - w.base));
    }
}

// Where a worker's parse of jb starts: its chunk's start, or, when one byte
// value covers the chunk from the position before it on for more than
// MAX_MATCH bytes, the end of that run (the chunk's end at most).
off64 parse_start(const pool &p, const job &jb) {
    const off64 x = jb.x;
    if (x == 0) return x;
    const uch b = p.ring[static_cast<std::size_t>((x - 1) % static_cast<off64>(p.ring_size))];
    const off64 e = ring_run_end(p, x, jb.data_end, b);
    return e - (x - 1) > MAX_MATCH ? std::min(e, jb.y) : x;
}

// Parses job jb's chunk with w, from the boundary at rec.from as if a match
// had just ended there.
void parse_chunk(const pool &p, parse_worker &w, job &jb) {
    parse_record &rec = jb.rec;
    rec.count = 0;
    rec.from = parse_start(p, jb);
    // Only what the last parse recorded is cleared: the rest of the bits,
    // never touched, takes no memory.
    std::memset(rec.quiet, 0, (rec.quiet_top + 63) / 64 * sizeof *rec.quiet);
    rec.quiet_top = std::min<std::size_t>(rec.quiet_bits, QUIET_SPAN);
    w.shared = &p;
    w.rec = &rec;
    w.base = std::max<off64>(0, rec.from - static_cast<off64>(WSIZE));
    w.read_pos = w.base;
    w.data_end = jb.data_end;
    w.mark_offset = static_cast<long>(w.base - rec.from);
    w.last_end = 0;
    w.strstart = static_cast<unsigned>(rec.from - w.base);
    w.quiet_until = w.strstart + QUIET_SPAN;
    w.match_start = 0;
    w.prev_length = MIN_MATCH - 1;
    w.eofile = 0;
    const config &c = configuration_table[level];
    w.max_lazy_match = c.max_lazy;
    w.good_match = c.good_length;
    w.nice_match = c.nice_length;
    w.max_chain_length = c.max_chain;
    lazy_state st;
    if (rec.from < jb.y) {
        const unsigned got = static_cast<unsigned>(w.read(w.window, static_cast<unsigned>(WINDOW_SIZE)));
        w.lookahead = got > w.strstart ? got - w.strstart : 0;
        // parse_on builds the chains before its first search.
        w.fresh = false;
        if (w.lookahead >= MIN_LOOKAHEAD) parse_on(w, st, jb.y);
    }
    rec.end = w.base + w.strstart;
    rec.at_end = st;
    rec.pending_dist = st.match_length >= MIN_MATCH ? static_cast<unsigned>(rec.end - 1 - (w.base + st.start)) : 0;
}

void worker_main(pool &p, parse_worker &w) {
    locked lk(p);
    for (;;) {
        // The next job, once its input is in and a slot is free; none after
        // the input's end.
        bool none = false;
        lk.wait([&] {
            if (p.quit) return true;
            const off64 x = p.next_job * static_cast<off64>(p.chunk);
            if (p.ended && p.filled <= x) return none = true;
            return p.next_job < p.joined + p.slots &&
                   (p.ended || p.filled >= x + static_cast<off64>(p.chunk) + CHUNK_MARGIN);
        });
        if (p.quit || none) return;
        job &jb = p.jobs[p.next_job % p.slots];
        jb.x = p.next_job * static_cast<off64>(p.chunk);
        jb.y = std::min(jb.x + static_cast<off64>(p.chunk), p.filled);
        jb.data_end = std::min(jb.y + CHUNK_MARGIN, p.filled);
        jb.done = false;
        p.next_job++;
        pthread_mutex_unlock(&p.mu);
        parse_chunk(p, w, jb);
        pthread_mutex_lock(&p.mu);
        jb.done = true;
        lk.notify();
    }
}

// The joiner's input function: the ring, as file_read reads the file. A
// failed read fails here where file_read's gathering would have met it.
int ring_read(char *buf, unsigned size) {
    pool &p = *running;
    const off64 want = p.read_pos + size;
    int failed;
    unsigned n;
    {
        locked lk(p);
        lk.wait([&] { return p.filled >= want || p.ended; });
        failed = p.filled < want ? p.error : 0;
        n = static_cast<unsigned>(std::min<off64>(size, p.filled - p.read_pos));
    }
    if (failed != 0) {
        errno = failed;
        read_error();
    }
    // Below `filled` the ring's bytes stay put until the joiner lets them go.
    if (n == 0) return 0;
    ring_copy(p, p.read_pos, reinterpret_cast<uch *>(buf), n);
    p.read_pos += n;
    crc = updcrc(reinterpret_cast<const uch *>(buf), n);
    bytes_in += n;
    return static_cast<int>(n);
}

// Whether job j exists: whether the input goes on past its start.
bool job_exists(pool &p, off64 j) {
    const off64 x = j * static_cast<off64>(p.chunk);
    locked lk(p);
    lk.wait([&] { return p.filled > x || p.ended; });
    return p.filled > x;
}

job &wait_job(pool &p, off64 j) {
    locked lk(p);
    job &jb = p.jobs[j % p.slots];
    lk.wait([&] { return p.next_job > j && jb.done; });
    return jb;
}

// The joiner is done with jobs up to j: their slots and input may be reused.
void release_job(pool &p, off64 j) {
    locked lk(p);
    p.joined = j + 1;
    p.low = std::clamp<off64>(p.joined * static_cast<off64>(p.chunk) - static_cast<off64>(WSIZE), 0, p.read_pos);
    lk.notify();
}

std::size_t quiet_bytes(const parse_record &rec) { return (rec.quiet_bits + 63) / 64 * sizeof *rec.quiet; }

// Frees what new_pool allocated of p, and p; its threads have ended.
[[gnu::cold]] void free_pool(pool *p) {
    if (p->workers != nullptr)
        for (unsigned i = 0; i < p->nworkers; i++) std::free(p->workers[i]);
    if (p->jobs != nullptr)
        for (unsigned i = 0; i < p->slots; i++) {
            std::free(p->jobs[i].rec.items);
            if (p->jobs[i].rec.quiet != nullptr) munmap(p->jobs[i].rec.quiet, quiet_bytes(p->jobs[i].rec));
        }
    std::free(p->jobs);
    std::free(p->ring);
    delete[] p->workers;
    delete[] p->threads;
    delete p;
}

[[gnu::cold]] void stop_pool() {
    pool *p = running;
    if (p == nullptr) return;
    {
        locked lk(*p);
        p->quit = true;
        lk.notify();
    }
    for (unsigned i = 0; i < p->nthreads; i++) pthread_join(p->threads[i], nullptr);
    free_pool(p);
    running = nullptr;
}

// The matches of a record in input order.
struct record_cursor {
    const parse_record *rec;
    std::size_t i;
    off64 pos;        // after the previous match
    off64 start, end; // the current match, NONE after the last
    unsigned lc, dist;

    record_cursor() : rec(nullptr), i(0), pos(0), start(NONE), end(NONE), lc(0), dist(0) {}
    record_cursor(const parse_record &r, off64 x) : rec(&r), i(0), pos(x) { next(); }
    void next() {
        if (i == rec->count) {
            start = end = NONE;
            lc = dist = 0;
            return;
        }
        const std::uint32_t item = rec->items[i++];
        off64 gap = item >> 23;
        if (gap == LONG_GAP) gap = rec->items[i++];
        lc = (item >> 15) & 0xff;
        dist = (item & 0x7fff) + 1;
        start = pos + gap;
        end = pos = start + lc + MIN_MATCH;
    }
};

// Input position of the joiner's strstart.
off64 joiner_at(const pool &p) { return p.read_pos - lookahead; }

// How many of replay's next steps, at `ahead` bytes of lookahead, are literals
// that reach neither the next match c, the parse's end, a refill nor an item
// count at which ct_tally tests for a block end.
off64 literal_run(const pool &p, const job &jb, const record_cursor &c, unsigned ahead) {
    const off64 at = p.read_pos - ahead; // the step's strstart; the literal is at - 1
    const unsigned r = last_lit & 0xfff;
    return std::min({c.start - (at - 1), jb.rec.end - at,
                     static_cast<off64>(ahead > MIN_LOOKAHEAD ? ahead - MIN_LOOKAHEAD : 0),
                     static_cast<off64>(r < 0xffe ? 0xffe - r : 0)});
}

// The steps of the single-threaded encoder from strstart, in state st, to the
// end of jb's parse, their literals and matches taken from it: the same
// tallies, blocks and reads, with no search. c is the first match that starts
// at or after strstart.
void replay(pool &p, const job &jb, record_cursor &c, lazy_state &st) {
    unsigned s = strstart;
    unsigned ahead = lookahead;
    off64 base = p.read_pos - ahead - s;
    int pending = st.match_available;
    while (base + s < jb.rec.end) {
        if (!pending) {
            pending = 1;
            s++;
            ahead--;
        } else if (base + s - 1 == c.start) {
            strstart = s;
            const int flush = ct_tally(static_cast<int>(c.dist), static_cast<int>(c.lc));
            s += c.lc + MIN_MATCH - 1;
            ahead -= c.lc + MIN_MATCH - 1;
            pending = 0;
            c.next();
            if (flush) {
                strstart = s;
                flush_current_block(0);
            }
        } else if (const off64 n = literal_run(p, jb, c, ahead); n > 0) {
            // Tallied at once: on incompressible input nearly every step is one.
            const uch *lit = window + s - 1;
            for (off64 i = 0; i < n; i++) dyn_ltree[lit[i]].fc.freq++;
            std::memcpy(inbuf + last_lit, lit, static_cast<std::size_t>(n));
            last_lit += static_cast<unsigned>(n);
            s += static_cast<unsigned>(n);
            ahead -= static_cast<unsigned>(n);
        } else {
            strstart = s;
            if (ct_tally(0, window[s - 1])) flush_current_block(0);
            s++;
            ahead--;
        }
        if (ahead < MIN_LOOKAHEAD && !eofile) {
            strstart = s;
            lookahead = ahead;
            refill_window();
            s = strstart;
            ahead = lookahead;
            base = p.read_pos - ahead - s;
        }
    }
    strstart = s;
    lookahead = ahead;
    st = jb.rec.at_end;
    st.start = s - 1 - jb.rec.pending_dist;
}

// The first input position from `at` on where bit i of rec.quiet is set for
// position rec.from + i; NONE when there is none.
off64 next_quiet(const parse_record &rec, off64 at) {
    const off64 bits = static_cast<off64>(rec.quiet_top);
    for (off64 i = std::max<off64>(at - rec.from, 0); i < bits; i++) {
        const std::uint64_t word = rec.quiet[i / 64] >> (i % 64);
        if (word == 0) {
            i |= 63;
            continue;
        }
        return rec.from + i + std::countr_zero(word);
    }
    return NONE;
}

// The joiner's steps over a run: the process-wide finder's state, the block
// layer as its sink.
struct joiner_steps {
    static constexpr uch *window = ::codec::window;
    static constexpr unsigned &strstart = ::codec::strstart;
    static constexpr unsigned &lookahead = ::codec::lookahead;
    static constexpr int &eofile = ::codec::eofile;
    static int tally(unsigned dist, unsigned lc) { return ct_tally(static_cast<int>(dist), static_cast<int>(lc)); }
    static void flush() { flush_current_block(0); }
    static void refill() { refill_window(); }
};

// The joiner's parse from strstart in state st up to the first step boundary
// at or after input position stop, or to the input's end; long runs are
// stepped over. fresh: the chains are ready for a search at strstart.
void joiner_parse(pool &p, lazy_state &st, off64 stop, bool &fresh) {
    joiner_steps m;
    // A window position, bounded so that it never reads as lazy_run's NO_STOP.
    auto window_stop = [&](off64 to) {
        const off64 base = p.read_pos - lookahead - strstart;
        return static_cast<unsigned>(std::min<off64>(to - base, NO_STOP - 1));
    };
    while (lookahead > 0) {
        const off64 at = joiner_at(p);
        if (at >= stop) return;
        if (after_match(st) && run_step(window, strstart, lookahead) &&
            (!fresh || worth_crossing(window, strstart, lookahead))) {
            cross_run(m, window_stop(stop));
            p.crossed += joiner_at(p) - at;
            fresh = false;
            continue;
        }
        if (!fresh) {
            prime_window_chains();
            fresh = true;
        }
        // As in parse_on: the match a search found in a run is taken first.
        const bool found = st.match_available && st.match_length == MAX_MATCH;
        lazy_run(st, found ? strstart + 1 : window_stop(std::min(stop, at + PIECE)));
    }
}

// Parses on from strstart in state st until the parse meets jb's at a step
// boundary in the same state; true with the cursor at that boundary's first
// match. False when jb's parse ends first, with the joiner at or past that
// end: its reads hold back the ring, so giving up any sooner could leave a
// later job waiting for input that the ring has no room for.
bool meet(pool &p, const job &jb, lazy_state &st, bool &fresh, record_cursor &found) {
    const parse_record &rec = jb.rec;
    record_cursor ends(rec, rec.from);
    off64 quiet = -1; // the first waiting-literal state from the last look on
    for (;;) {
        const off64 at = joiner_at(p);
        if (at >= rec.end) return false;
        while (ends.end < at) ends.next();
        if (quiet < at) quiet = next_quiet(rec, at);
        const off64 q0 = at <= rec.from ? rec.from : ends.end; // a match has just ended
        const off64 next = std::min(q0, quiet);                 // or a literal waits, no match found
        if (next == at) {
            const bool no_match = st.match_length == MIN_MATCH - 1;
            if (no_match && (at == q0 ? !st.match_available : st.match_available != 0)) {
                found = record_cursor(rec, rec.from);
                while (found.start < at) found.next();
                return true;
            }
        }
        joiner_parse(p, st, std::min(std::max(next, at + 1), rec.end), fresh);
    }
}

void *reader_thread(void *arg) {
    reader_main(*static_cast<pool *>(arg));
    return nullptr;
}

void *worker_thread(void *arg) {
    parse_worker &w = *static_cast<parse_worker *>(arg);
    worker_main(*w.owner, w);
    return nullptr;
}

// Stops the threads however the joiner leaves (fuzz builds end a member with
// an exception on the codec's fatal paths).
struct pool_guard {
    ~pool_guard() { stop_pool(); }
};

} // namespace

// A pool for `workers` parse workers reading in, its memory allocated; null
// when some of it could not be had (nothing is kept then).
[[gnu::cold]] pool *new_pool(int in, unsigned workers) {
    pool *p = new (std::nothrow) pool;
    if (p == nullptr) return nullptr;
    p->fd = in;
    p->chunk = zip_chunk;
    p->slots = workers + 2;
    // Every job in flight with the window before the first and the joiner's reads.
    p->ring_size = p->slots * p->chunk + 4 * WINDOW_SIZE;
    p->ring = static_cast<uch *>(std::malloc(p->ring_size));
    p->jobs = static_cast<job *>(std::calloc(p->slots, sizeof(job)));
    p->workers = new (std::nothrow) parse_worker *[workers];
    p->threads = new (std::nothrow) pthread_t[workers + 1];
    bool ok = p->ring != nullptr && p->jobs != nullptr && p->workers != nullptr && p->threads != nullptr;
    // A match covers 3 bytes or more; a long gap costs one item more per 511.
    const std::size_t span = p->chunk + CHUNK_MARGIN + 2 * MAX_MATCH;
    const std::size_t items = span / MIN_MATCH + span / LONG_GAP + 16;
    for (unsigned i = 0; ok && i < p->slots; i++) {
        parse_record &rec = p->jobs[i].rec;
        rec.items = static_cast<std::uint32_t *>(std::malloc(items * sizeof(std::uint32_t)));
        rec.quiet_bits = p->chunk;
        // Mapped, not taken from the heap: a page of it takes memory only
        // once a parse records there, and most parses record 2 KiB of it.
        void *quiet = mmap(nullptr, quiet_bytes(rec), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        rec.quiet = quiet == MAP_FAILED ? nullptr : static_cast<std::uint64_t *>(quiet);
        ok = rec.items != nullptr && rec.quiet != nullptr;
    }
    for (unsigned i = 0; ok && i < workers; i++) {
        void *mem = std::calloc(1, sizeof(parse_worker));
        ok = mem != nullptr;
        if (ok) p->workers[p->nworkers++] = new (mem) parse_worker;
    }
    if (!ok) {
        free_pool(p);
        return nullptr;
    }
    return p;
}

[[gnu::cold]] bool parallel_begin(int in) {
    // The greedy levels keep no state to replay; a file of one job gains nothing.
    if (zip_threads <= 1 || level < 4 || zip_chunk == 0) return false;
    struct stat st;
    if (fstat(in, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= static_cast<off64>(zip_chunk)) return false;

    // Memory for fewer workers where there is none for all: the bytes are the
    // same at every count, and one thread needs no pool.
    unsigned workers = static_cast<unsigned>(zip_threads);
    pool *p = new_pool(in, workers);
    while (p == nullptr && --workers > 0) p = new_pool(in, workers);
    if (p == nullptr) return false;
    running = p;
    // A worker that cannot start is a worker fewer. Without any, or without
    // the reader, one thread does it all: nothing was read yet.
    for (unsigned i = 0; i < workers; i++) {
        p->workers[i]->owner = p;
        if (pthread_create(&p->threads[p->nthreads], nullptr, worker_thread, p->workers[i]) == 0) p->nthreads++;
    }
    if (p->nthreads == 0 || pthread_create(&p->threads[p->nthreads], nullptr, reader_thread, p) != 0) {
        stop_pool();
        return false;
    }
    p->nthreads++;
    read_buf = ring_read;
    return true;
}

void parallel_deflate() {
    pool_guard guard;
    pool &p = *running;
    lazy_state st;
    off64 k = 0; // the job the joiner works on
    bool synced = job_exists(p, 0);
    // The first job starts where the member does, in the state the true
    // parse starts in.
    record_cursor c = synced ? record_cursor(wait_job(p, 0).rec, 0) : record_cursor{};
    for (;;) {
        if (synced) {
            replay(p, p.jobs[k % p.slots], c, st);
            release_job(p, k);
            k++;
        }
        // From here on the joiner parses, until a later job's parse agrees.
        const off64 from = joiner_at(p);
        bool fresh = false;
        synced = false;
        while (!synced && job_exists(p, k)) {
            const job &jb = wait_job(p, k);
            synced = meet(p, jb, st, fresh, c);
            if (!synced) {
                release_job(p, k);
                k++;
            }
        }
        if (!synced) {
            // The input's end: only the joiner knows the window there.
            joiner_parse(p, st, NONE, fresh);
            zip_reparsed += joiner_at(p) - from;
            break;
        }
        zip_reparsed += joiner_at(p) - from;
    }
    // A run stepped over costs no search: it is not counted as parsed.
    zip_reparsed -= p.crossed;
    lazy_finish(st);
}

} // namespace codec
