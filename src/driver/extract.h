// Running an archive: the space verification with its relocation, and the
// pieces of the extraction that tests reach directly.
#pragma once

#include <cstddef>

namespace driver {

// Result of verify_fs; every value but SE_NONE refuses the extraction.
enum Verr { SE_NONE = 0, SE_EXISTS = 1, SE_MKDIR = 2, SE_SYMLINK = 3 };

// Limits of the space verification's working buffers: longer values refuse
// the extraction with a message instead of being cut.
constexpr unsigned VFYFS_MAX = 127;  // the VFYFS value
constexpr unsigned VPATH_MAX = 511;  // any path formed from it
constexpr unsigned MKDIRP_MAX = 254; // a path handed to mkdirp

// Checks that VFYFS/FSSUB can take min_mb megabytes, relocating it behind a
// temporary link to the -t directory or another mounted filesystem when its
// own has no room. sym_path (512 bytes) ends empty, or holding the link that
// the caller must remove. Messages on standard error.
[[nodiscard]] Verr verify_fs(int min_mb, char *sym_path);

// Creates the missing directories of the absolute path (at most MKDIRP_MAX
// characters) with exactly mode. 0, or non-zero with errno set by the failing
// call. When made_from is given, it receives the length of the shallowest
// prefix that was created (0 when none was), for remove_made.
[[nodiscard]] int mkdirp(const char *path, int mode, std::size_t *made_from = nullptr);

// Removes the directories of path that mkdirp made (made_from as it gave it),
// deepest first; ones that existed before stay.
void remove_made(const char *path, std::size_t made_from);

// Why replace_program_parms gave no command.
enum Perr {
    PE_NONE = 0,       // expanded
    PE_TOO_LONG = 1,   // longer than 2047 characters once expanded (or memory ran out)
    PE_UNQUOTABLE = 2, // a value the shell would not read exactly where it stands
    PE_ENDS_DOC = 3,   // a value would make its here-document line the delimiter
};

// The template with "%o" (ofname) and "%p" (current directory, or "." when it
// cannot be determined) expanded, in a new 2048-byte buffer the caller frees.
// A value made only of letters, digits and _ . / + - : , = @ % goes in as it
// is; any other is quoted for where it stands: a single-quoted word outside
// quotes, ' written as '\'' inside single quotes, a backslash before $ ` " and a
// backslash inside double quotes (before $ ` and a backslash in a here-document
// body), with one more level of backslashes inside backquotes. Where the walk
// of the template is not certain how the shell reads a place, only a value of
// those plain characters is put in. Null when a value is refused or the result
// would not fit; then *why tells which, and *which names the placeholder ('o'
// or 'p') for PE_UNQUOTABLE and PE_ENDS_DOC, else 0.
[[nodiscard]] char *replace_program_parms(const char *pgm, Perr *why = nullptr, char *which = nullptr);

// The first placeholder of pgm ('o' or 'p') that stands where some value would
// be refused: a place the walk is not certain of, or a here-document body
// (which cannot carry a newline). 0 when every value can be put in.
[[nodiscard]] char uncertain_placeholder(const char *pgm);

// The temporary link: registered for removal on every end of the process
// before it is made, unregistered when it could not be made. Removal unlinks
// it only while it still points at target, so a second run of the same
// archive never loses its link. Registering catches the run's signals.
void register_link(const char *path, const char *target);
// Installs the handler of every signal whose default action would end kelpa
// and that can be caught (once; a signal inherited as ignored stays ignored):
// it removes the link, erases the status line and ends the process by the
// signal, or passes the signal to the command running and waits for it.
void catch_run_signals();
void unregister_link();
void remove_link();

// Both commands start with the signal dispositions kelpa was started with,
// each one that was ignored set to ignored again explicitly.

// Starts the extract command, cmd through "/bin/sh -c", in a process group of
// its own, reading a pipe: its write end (close-on-exec), or -1 with errno
// set. Until end_extract, a signal the run takes is passed on to the whole
// group, which is then waited for; the link goes and kelpa dies of the
// signal.
[[nodiscard]] int start_extract(const char *cmd);
// Closes the pipe, so that the extract command sees the end of its input, and
// waits for it: its wait status, or -1 when none was running.
int end_extract();

// Runs cmd through "/bin/sh -c" with name as its $0 and the null-terminated
// args (or null) as its positional parameters, each exactly as given, and
// returns its wait status (-1 when it could not be started), as system() does.
// It runs in a process group of its own, in the terminal's foreground while
// it runs when kelpa had it (kelpa takes it back after, and stops with it on
// Ctrl-Z). A signal sent to kelpa meanwhile is passed on to its group; when
// the command has ended by that signal, the link is removed and kelpa dies of
// it once the group is gone, while a command that handled it has the last
// word.
[[nodiscard]] int run_shell(const char *cmd, const char *name = "sh", char *const *args = nullptr);

// Exports every feature entry into the environment: KEY=VALUE as written, a
// bare FLAG as FLAG=.
void export_features();

} // namespace driver
