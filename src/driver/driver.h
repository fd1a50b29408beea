// The archive driver: its buffers, flags and trailer state, and the prototypes
// of the entry, trailer, feature list and the three actions.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <termios.h>

#include "codec/codec.h"

namespace driver {

constexpr std::size_t BUFLEN = 1024;   // every driver buffer; strings hold at most 1023 characters
constexpr std::size_t FEATLEN = 256;   // a formed feature entry or a lookup result (255 + NUL)
constexpr std::size_t MARKER_LEN = 11; // the trailer marker, no terminator
constexpr std::size_t KEY_ID_BYTES = 8;     // a minisign key id
constexpr std::size_t PUBLIC_KEY_BYTES = 32; // an Ed25519 public key

// A public key as a minisign public key file holds it.
struct public_key {
    unsigned char id[KEY_ID_BYTES];
    unsigned char pk[PUBLIC_KEY_BYTES];
};
struct signing_state;  // signature.h
struct file_identity;  // signature.h

// Process-wide state of the driver. Zero-filled by main before anything else.
//  name                 meaning                                    written by / read by
extern char features[BUFLEN];       // the feature list                      options, find_preamble / build_preamble, extraction, listing
extern char comment[BUFLEN];        // text shown to the operator            -C, find_preamble, default / Usage, build_preamble, extraction, listing
extern char run_program[BUFLEN];    // run command template                  -r, find_preamble / build_preamble, extraction, listing
extern char pipe_program[BUFLEN];   // extract command template              -f, find_preamble / build_preamble, extraction, listing
extern char kelpa_path[BUFLEN];     // stub executable copied by the build    -p, default / build
extern char uncompress_dir[BUFLEN]; // the -t directory                       -t / verify_fs
extern int extract_only;            // -x: decode to standard output only     main / do_decompress
extern int dont_run_program;        // -n: never run the run command          main / do_decompress
extern int quiet;                   // -q: nothing of its own on success      main / act, progress_begin, check_only
extern int check_only;              // -T: check archives, extract and run nothing   main / main
extern codec::off64 preamble_end;   // offset of the payload's first byte     find_preamble / listing, extraction
extern int trailer_cut;             // 1: a trailer string passed 1023 characters find_preamble / extraction, verify_archive, listing (which refuse it)
extern int trailer_whole;           // 1: all four trailer strings ended in their NUL   find_preamble / extraction, verify_archive, listing
extern volatile unsigned char marker_key; // key of the marker's encoded bytes (0xA5), volatile so that no optimiser assembles the marker in the binary   get_eop
extern char eop[MARKER_LEN];        // the marker, decoded on each call       get_eop / find_preamble, build_preamble
extern char found_program[BUFLEN + 1]; // the path found                      find_program, find_in_path / their callers
extern char found_feature[FEATLEN]; // the entry found                        get_feature / its callers
extern int first_time;              // 1 until the column header is printed (once per run)   do_list
extern codec::off64 trailer_at;     // offset of the features string in the archive read or written last   find_preamble, build_preamble / verify_archive, finish_signing
extern char public_key_path[BUFLEN]; // -k: the key archives must be signed with   main / main
extern char secret_key_path[BUFLEN]; // -K: the key that signs the build        main / do_build
extern public_key trusted_key;      // the -k key once read                  main / check_archive, do_list
extern bool trusted_key_set;        // trusted_key holds a key: every archive is checked against it   main / check_archive, do_list
extern signing_state signing;       // the hash of a signed build as it is written   begin_signing, the codec's write hook / finish_signing
extern volatile sig_atomic_t password_tty; // the terminal while its echo is off for a password, or -1   read_password / its signal handler
extern termios password_termios;    // that terminal's settings to give back                read_password / its signal handler
extern file_identity verified_file; // the archive checked last, as it was when its hash began   verify_archive / unchanged_since_verified
// The run's effects while they stand, for the ends that do not come back
// through do_decompress (a fatal codec error, a signal): read by handlers too.
extern volatile sig_atomic_t extract_pid; // the extract command (its process and group) until waited for, or 0   start_extract / end_extract, signal handler
extern volatile sig_atomic_t extract_fd;  // the write end of its pipe until closed, or -1   start_extract / act, end_extract, signal handler
extern char link_path[512];         // the temporary link once registered, or empty   register_link / remove_link, signal handler
extern char link_target[512];       // what the link points at as this run made it     register_link / remove_link, signal handler
extern volatile sig_atomic_t run_pid;        // the run command while it runs, or 0   run_shell / signal handler
extern int foreground_tty;           // the terminal whose foreground the run command has while it runs, or -1   run_shell
extern volatile sig_atomic_t pending_signal; // a signal that came while it ran, or 0 signal handler / run_shell
extern bool signals_caught;         // the run's signal handler is installed          catch_run_signals
extern bool signal_caught[NSIG];    // it took this signal (one inherited as ignored stays so)   catch_run_signals / each command's child
extern bool ignored_on_entry[NSIG]; // the signal was ignored when kelpa started     catch_run_signals / each command's child
struct progress_line;
extern progress_line progress;      // the status line on a terminal (progress.h)     progress_begin, progress_at / progress_end, the codec's hooks
// Shared with the codec, which consults them: progname, exit_code, verbose, to_stdout, list.
using codec::exit_code;
using codec::list;
using codec::progname;
using codec::to_stdout;
using codec::verbose;

extern const char scid[64];         // the version line's text
extern const char *F_OEM;           // key that -O puts before its argument

// Test-only: every variable above back to its start value.
void reset_state();

// The driver's one error path. Messages on standard error, as formatted but
// with control characters other than tab and newline shown as \ooo (values in
// them can come from the archive or the working directory); the _perror forms
// add ": " and the system's text for errno, as perror does. fatal and
// fatal_perror end the process with status 1.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void report_perror(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatal_perror(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Text from an archive (commands, the stored name, the comment) goes to a
// terminal only through print_visible (codec.h).
using codec::print_visible;

// Entry.
// Prints the version line and the usage of the mode on out (-h: standard
// error; --help: standard output).
void Usage(int is_compressed, std::FILE *out = stderr);

// Trailer.
const char *get_eop();                      // the 11 marker bytes, assembled at run time
char *find_program(char *ref);              // a path for ref, or null
char *find_in_path(const char *ref);        // the first executable PATH/ref, or null
// Results of find_preamble and open_archive when there is no descriptor.
constexpr int PREAMBLE_MISSING = -1; // no trailer (or no file found): the caller says so
constexpr int PREAMBLE_UNREAD = -2;  // the file could not be opened: said perror-style
// The archive's descriptor, its trailer read, every read of it from there on
// kept in the ledger (block_ledger.h). find_preamble resolves the program's
// own name (find_program); open_archive opens an operand exactly as named.
[[nodiscard]] int find_preamble(char *program);
[[nodiscard]] int open_archive(const char *name);
[[nodiscard]] int build_preamble(char *program, int fd); // 0, or -1 after a message
// Whether the stub that program names is a kelpa (it holds the version
// line's text): 1 yes, 0 no, -1 when it cannot be found or read (for
// build_preamble to report).
[[nodiscard]] int stub_is_kelpa(char *program);

// Feature list.
[[nodiscard]] int add_feature(const char *f); // 0, or -1 when the list would pass 1023 characters (unchanged then)
char *get_feature(const char *f);           // the entry where f occurs, or null
int strtrim(char *s);                       // new length after trailing white space is cut

// Actions. Each is entered once and ends the process (listing returns per archive).
void do_list(char *path, bool operand = false); // sets exit_code = 1 on failure; operand as for do_decompress
// Prints num/den in per mille as a signed percentage with one decimal; 64-bit
// so that sizes past 2 GiB give the right ratio.
void display_ratio(codec::off64 num, codec::off64 den, std::FILE *file);
// args: the operator's arguments for the run command, null-terminated (or
// null for none). operand: program is a file named by the operator (-u),
// opened as named, not the program's own name to be resolved. The exit
// status: 0 on success, the run command's own status when it exited with one
// from 1 to 255, else 1.
[[nodiscard]] int do_decompress(char *program, char *const *args = nullptr, bool operand = false);
// -T: the check a run makes before its first effect, and nothing else, in a
// process of its own, so that a codec error ends only this archive's check.
// Prints "<shown>: OK" on standard output when it passes (not under -q).
// 0 when it passed, else 1.
[[nodiscard]] int check_archive_only(char *program, const char *shown, bool operand);
[[noreturn]] void do_build(int argc, char **argv); // argv: the input names

} // namespace driver
