// The gzip stream codec: scalar types, the process-wide buffers, counters and
// names shared by the reader (unzip, inflate) and the writer (zip, deflate,
// trees, bits), and the prototypes of its services.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace codec {

using uch = std::uint8_t;   // 8-bit unsigned
using ush = std::uint16_t;  // 16-bit unsigned
using ulg = std::uint32_t;  // 32-bit unsigned: CRC-32 and ISIZE are modulo 2^32
using IPos = unsigned;      // position in the window
using off64 = std::int64_t; // file offsets and byte counts: archives may exceed 4 GiB

static_assert(sizeof(ulg) == 4, "gzip's CRC and length fields are 32 bits");
static_assert(sizeof(ush) == 2, "d_buf and prev hold 16-bit entries");

constexpr std::size_t INBUFSIZ = 0x8000;      // refill size of inbuf
constexpr std::size_t INBUF_EXTRA = 64;       // slack the reader never fills
constexpr std::size_t OUTBUFSIZ = 16384;      // flush threshold of outbuf
constexpr std::size_t OUTBUF_EXTRA = 2048;    // room for the bits of one last code
constexpr std::size_t WSIZE = 0x8000;         // DEFLATE window size
constexpr std::size_t DIST_BUFSIZE = 0x8000;  // entries of d_buf
constexpr std::size_t PREV_SIZE = 1u << 16;   // hash chain links, one per window position
// Zeroed bytes after the encoder's two window halves, so that match comparisons
// that run past the end of the input near its end stay inside the allocation.
constexpr std::size_t WINDOW_SLACK = 512;

// Process-wide state. Zero-filled at start unless given; never freed. One
// direction per process: build mode writes, archive mode and listing read.
// Each side's own state is in the same kind of block in deflate.h (the
// writer) and inflate.h (the reader), which only that side includes.
//  name          size              meaning                                         written by / read by
extern uch inbuf[INBUFSIZ + INBUF_EXTRA]; // reader: refilled input; writer: literals   fill_inbuf, ct_tally / readers, compress_block
extern uch outbuf[OUTBUFSIZ + OUTBUF_EXTRA]; // compressed output awaiting flush_outbuf  bit output, zip / flush_outbuf
extern uch window[2 * WSIZE + WINDOW_SLACK]; // reader: first half the 32 KiB window (handed on from there), second half decoding room; writer: two halves   inflate, fill_window / flush_window, longest_match
extern ush d_buf[DIST_BUFSIZE];         // match distances of the block being built  ct_tally / compress_block
extern ush prev[PREV_SIZE];             // hash chain links, one per window position deflate / longest_match
extern unsigned insize;                 // valid bytes in inbuf                       fill_inbuf, readers
extern unsigned inptr;                  // next byte of inbuf to consume (<= insize)  readers
extern unsigned outcnt;                 // reader: bytes waiting in window; writer: bytes in outbuf
extern off64 bytes_in;                  // input bytes consumed (refills, file_read)   fill_inbuf, file_read / zip, listing
extern off64 bytes_out;                 // output bytes handed on by the flushes      flush_window, flush_outbuf / zip, listing
extern off64 header_bytes;              // gzip header + 8-byte trailer of a member    get_method, zip / listing
extern int ifd;                         // input descriptor                           driver / fill_inbuf, file_read
extern int ofd;                         // output descriptor, or NO_OUTPUT            driver / flushes
extern char ifname[1024];               // input name, in every message               driver / error, read_error
extern char ofname[1024];               // output name, in write_error                driver, get_method / write_error
extern char *progname;                  // starts every message                       main / every message
extern int method;                      // compression method of the member (8 = DEFLATE; 8 at start)  get_method, zip
extern int part_nb;                     // member headers read from this input        get_method, listing
extern long time_stamp;                 // modification time of the member            get_method, zip
extern int exit_code;                   // final status of listing and building       driver, get_method
extern int level;                       // compression level, always 9                zip, ct_tally
extern int zip_threads;                 // parse workers of the encoder (1..256); 1: the single-threaded encoder   driver / zip
extern std::size_t zip_chunk;           // input bytes per worker job (1 MiB); a test seam, so small inputs make many jobs   tests / zip
extern off64 zip_reparsed;              // input bytes the joining thread parsed itself; a measure for tests and bench/   zip / tests, bench
extern unsigned strstart;               // match finder's window position             deflate / ct_tally, flush_block
extern long block_start;                // window position where the block began; < 0 once slid out   deflate / flush_block
extern int to_stdout;                   // -c                                          main, do_decompress / get_method
extern int list;                        // -l                                          main / get_method
extern int verbose;                     // -v                                          main / get_method, driver
extern ulg crc_register;                // updcrc's register, pre-inverted (all ones at start)   updcrc
extern int clmul_state;                 // carry-less multiply: -1 not probed yet, 0 absent, 1 present   crc_clmul_supported
extern int vclmul_state;                // the same for the 256-bit one                crc_vclmul_supported

// Test seam: every variable of the codec's state, both sides' included, back
// as the process started with it (clear_bufs is what a new member needs).
void reset_state();
// The two sides' parts of it, each defined next to its state.
void reset_encoder_state();
void reset_decoder_state();

// ofd of a checking pass: the decoded bytes are counted and their CRC kept, but
// written nowhere.
constexpr int NO_OUTPUT = -1;

// Called by abort_gzip before the process ends, when set: the driver uses it to
// remove a temporary link. Not part of the codec's own state; null by default.
extern void (*abort_hook)();
// Called by fill_inbuf after each refill, and before each message the codec
// writes on standard error, when set: the driver's progress line counts the
// input there and is erased before a message. Null by default.
extern void (*refill_hook)();
extern void (*message_hook)();
// Called by write_buf with every block before it is written, when set: a
// signed build hashes the archive there as it writes it. Null by default.
extern void (*write_hook)(const void *buf, unsigned cnt);
// Reads the input in place of read(ifd, ...), when set: an archive run reads
// its payload through the driver, which proves each block unchanged since its
// first read. Returns as read does. Null by default.
extern long (*input_hook)(void *buf, unsigned n);

// Performance critical, measure any change with bench/.
// The CRC-32 of RFC 1952. updcrc(nullptr, 0) restarts the register and returns
// 0; otherwise the bytes are fed and the finished CRC of everything fed since the
// last restart is returned.
ulg updcrc(const uch *s, unsigned n);
// The two engines behind updcrc, reachable for tests: both take and return the
// pre-inverted register. crc32_clmul needs the carry-less multiply, which
// updcrc uses only when crc_clmul_supported() finds it at run time.
ulg crc32_portable(ulg c, const uch *s, std::size_t n);
ulg crc32_clmul(ulg c, const uch *s, std::size_t n);
bool crc_clmul_supported();
// The same with 256-bit carry-less multiplies (AVX2 and VPCLMULQDQ), which
// updcrc prefers when crc_vclmul_supported() finds them.
ulg crc32_vclmul(ulg c, const uch *s, std::size_t n);
bool crc_vclmul_supported();

// The next at most n bytes of the input: from input_hook when set, else from
// ifd. As read returns.
long read_input(void *buf, unsigned n);

// Refills inbuf from ifd, gathering short reads until it is full or the input
// ends; returns inbuf[0] and sets inptr to 1. An empty refill is read_error.
int fill_inbuf();

// The input rule of every reader: the next byte of inbuf, or a refill.
inline int next_input_byte() { return inptr < insize ? inbuf[inptr++] : fill_inbuf(); }

void flush_window();   // window[0..outcnt) -> CRC, ofd, bytes_out; outcnt = 0
void flush_window_at(const uch *from); // the same for from[0..outcnt), a window elsewhere in `window`
void flush_outbuf();   // outbuf[0..outcnt) -> ofd, bytes_out; outcnt = 0
void write_buf(int fd, const void *buf, unsigned cnt); // all of it, or write_error
void clear_bufs();     // empty input buffer, fresh counters
char *gz_basename(char *fname);
// Prints s with every control byte but tab and newline, DEL, the C1 controls
// as UTF-8 writes them (U+0080..U+009F) and every byte that is not part of a
// valid UTF-8 sequence, as a backslash and three octal digits per byte: a name
// or command read from an archive must not move the cursor or repaint the
// terminal, so that what is shown is what runs. Valid UTF-8 passes as it is.
void print_visible(std::FILE *f, const char *s);

// The fatal exits. Every codec failure ends here with status 1.
[[noreturn]] void error(const char *m);
[[noreturn]] void read_error();
[[noreturn]] void write_error();
[[noreturn]] void abort_gzip();

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzz builds turn the fatal exit into this exception for the harness to catch.
struct fatal_exit {};
#endif

// Reading side.
int get_method();              // reads a member header from ifd; method or -1
int unzip(int in, int out);    // decodes one member, checks CRC and length; 0
int inflate();                 // 0 ok, 1 malformed, 2 incomplete, 3 out of memory
char *to_basename(char *fname); // moves the part after the last '/' to the front; fname

// Writing side.
int zip(int in, int out);      // writes one complete member; 0
// The threads the process may run on: its CPU affinity set, at least 1.
int affinity_threads();

} // namespace codec
