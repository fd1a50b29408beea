// What a run leaves standing while it works, and the signals that may end it:
// the temporary link (registered before it is made, removed on every end while
// it is still the link this run made) and the two commands, started so that a
// signal sent to kelpa reaches them and each is waited for before kelpa dies
// of it: nothing kelpa started outlives it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/extract.h"
#include "driver/progress.h"

namespace driver {

char link_path[512];
char link_target[512];
volatile sig_atomic_t run_pid;
volatile sig_atomic_t pending_signal;
volatile sig_atomic_t extract_pid;
volatile sig_atomic_t extract_fd = -1;
int foreground_tty = -1;
bool signals_caught;
bool signal_caught[NSIG];
bool ignored_on_entry[NSIG];

namespace {

constexpr std::size_t LINK_LEN = sizeof link_path;

// Async-signal-safe: readlink, unlink and plain byte comparisons only.
void unlink_if_ours() {
    if (link_path[0] == '\0') return;
    char now[LINK_LEN];
    ssize_t n = readlink(link_path, now, sizeof now - 1);
    if (n >= 0 && static_cast<std::size_t>(n) == std::strlen(link_target) &&
        std::memcmp(now, link_target, static_cast<std::size_t>(n)) == 0)
        unlink(link_path);
}

void die_of(int sig) {
    std::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

// Whether a signal left at its default action would end kelpa, so that the
// run must see it: everything but KILL and STOP, the job-control signals,
// the ones ignored by default and the C library's own real-time signals.
bool ends_the_process(int sig) {
    switch (sig) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
        return false;
    default:
        return sig < 32 || sig >= SIGRTMIN;
    }
}

// A group that got a signal has ended when none of it is left: its leader
// was waited for, the rest die of the signal a moment later. Those whose
// parent died first are kelpa's to reap (see adopt_orphans), since a zombie
// still counts as one of the group. One that ignores the signal is given two
// seconds.
void await_group_end(pid_t group) {
    const timespec tick{0, 10 * 1000 * 1000};
    for (int i = 0; i < 200; i++) {
        while (waitpid(-group, nullptr, WNOHANG) > 0) {
        }
        if (kill(-group, 0) != 0) return;
        nanosleep(&tick, nullptr);
    }
}

// From the signal on, what the commands leave without a parent comes to
// kelpa, not to whatever reaps orphans on this machine (which may take its
// time), so that kelpa can tell when the last of them is gone. Before it,
// a service an installer starts keeps init as its parent.
void adopt_orphans() { prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

// Hands the terminal's foreground from the group that holds it to another:
// nothing when that group no longer holds it (kelpa was put in the background
// meanwhile), so no job-control shell ever loses its terminal to kelpa.
// SIGTTOU is blocked throughout, as a background group must have it.
void pass_terminal(pid_t from, pid_t to) {
    const int tty = foreground_tty;
    if (tty < 0 || tcgetpgrp(tty) != from) return;
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &old);
    tcsetpgrp(tty, to);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void on_signal(int sig, siginfo_t *, void *) {
    if (pid_t pid = extract_pid; pid > 0) {
        // The extract command runs in a process group of its own, which no
        // terminal signal reaches: all of it gets the signal, sees the end of
        // its input, and is waited for, so that it cannot go on writing, or
        // make the link path again, once the link is gone.
        adopt_orphans();
        kill(-pid, sig);
        if (int fd = extract_fd; fd != -1) {
            extract_fd = -1;
            close(fd);
        }
        while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
        }
        await_group_end(pid);
        unlink_if_ours();
        progress_erase();
        die_of(sig);
    }
    if (pid_t pid = run_pid; pid > 0) {
        // The run command may need the link to the end: it goes once the
        // command has ended. Its whole group gets the signal, so that what
        // it started ends with it.
        adopt_orphans();
        kill(-pid, sig);
        pending_signal = sig;
        return;
    }
    unlink_if_ours();
    progress_erase();
    die_of(sig);
}

// In a command's child, before exec: the dispositions kelpa was started with,
// then the signal mask it had before the fork. Each signal ignored on entry
// is ignored again explicitly: a loader that only pretends the inherited
// SIG_IGN (user-mode emulation does) would otherwise lose it across exec, and
// nohup would protect nothing.
void restore_entry_dispositions(const sigset_t *mask) {
    for (int sig = 1; sig < NSIG; sig++) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        if (ignored_on_entry[sig]) std::signal(sig, SIG_IGN);
        else if (signal_caught[sig] || sig == SIGCHLD || sig == SIGPIPE) std::signal(sig, SIG_DFL);
    }
    sigprocmask(SIG_SETMASK, mask, nullptr);
}

// The argument vector of "/bin/sh -c cmd name args...": the shell reads cmd
// alone as shell text, and hands name on as $0 and args as "$@", never split
// or read as shell text. Null when memory runs out.
char **shell_argv(const char *cmd, const char *name, char *const *args) {
    std::size_t n = 0;
    while (args != nullptr && args[n] != nullptr) n++;
    char **argv = static_cast<char **>(std::malloc((n + 5) * sizeof *argv));
    if (argv == nullptr) return nullptr;
    argv[0] = const_cast<char *>("sh");
    argv[1] = const_cast<char *>("-c");
    argv[2] = const_cast<char *>(cmd);
    argv[3] = const_cast<char *>(name);
    for (std::size_t i = 0; i < n; i++) argv[4 + i] = args[i];
    argv[4 + n] = nullptr;
    return argv;
}

// Every signal the run takes, and SIGTTOU, which a child handing itself the
// terminal from the background must not stop at.
void block_run_signals(sigset_t *old) {
    sigset_t block;
    sigemptyset(&block);
    for (int sig = 1; sig < NSIG; sig++)
        if (signal_caught[sig]) sigaddset(&block, sig);
    sigaddset(&block, SIGTTOU);
    sigprocmask(SIG_BLOCK, &block, old);
}

} // namespace

void catch_run_signals() {
    if (signals_caught) return;
    signals_caught = true;
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction old {};
        ignored_on_entry[sig] = sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
    }
    // Ignored, SIGCHLD would reap the commands before kelpa learns how they
    // ended; they get it back ignored.
    if (ignored_on_entry[SIGCHLD]) std::signal(SIGCHLD, SIG_DFL);
    // One handler at a time: a second signal waits until the first one's
    // ending is done.
    struct sigaction sa {};
    sa.sa_sigaction = on_signal;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    for (int sig = 1; sig < NSIG; sig++)
        if (ends_the_process(sig) && !ignored_on_entry[sig]) sigaddset(&sa.sa_mask, sig);
    for (int sig = 1; sig < NSIG; sig++) {
        if (!ends_the_process(sig) || ignored_on_entry[sig]) continue;
        signal_caught[sig] = sigaction(sig, &sa, nullptr) == 0;
    }
}

void register_link(const char *path, const char *target) {
    catch_run_signals();
    std::snprintf(link_target, sizeof link_target, "%s", target);
    std::snprintf(link_path, sizeof link_path, "%s", path);
}

void unregister_link() { link_path[0] = '\0'; }

void remove_link() {
    unlink_if_ours();
    link_path[0] = '\0';
}

int start_extract(const char *cmd) {
    catch_run_signals();
    std::fflush(nullptr);
    char **argv = shell_argv(cmd, "sh", nullptr);
    int p[2];
    if (argv == nullptr || pipe2(p, O_CLOEXEC) != 0) {
        std::free(argv);
        return -1;
    }
    // Blocked until extract_pid is known, as in run_shell.
    sigset_t old;
    block_run_signals(&old);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        restore_entry_dispositions(&old);
        if (dup2(p[0], STDIN_FILENO) == -1) _exit(127);
        execv("/bin/sh", argv);
        _exit(127);
    }
    const int e = errno;
    std::free(argv);
    close(p[0]);
    if (pid < 0) {
        close(p[1]);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        errno = e;
        return -1;
    }
    // Set on both sides, so that the group exists before any signal is passed on.
    setpgid(pid, pid);
    extract_pid = pid;
    extract_fd = p[1];
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return p[1];
}

int end_extract() {
    sigset_t old;
    block_run_signals(&old);
    if (int fd = extract_fd; fd != -1) {
        extract_fd = -1;
        close(fd);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    const pid_t pid = extract_pid;
    if (pid == 0) return -1;
    // Waited for without reaping first: until extract_pid is cleared, a
    // signal must find the group still there.
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == -1 && errno == EINTR) {
    }
    block_run_signals(&old);
    extract_pid = 0;
    int status = -1;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR) {
            status = -1;
            break;
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return status;
}

int run_shell(const char *cmd, const char *name, char *const *args) {
    catch_run_signals();
    std::fflush(nullptr);
    char **argv = shell_argv(cmd, name, args);
    if (argv == nullptr) return -1;
    // The terminal, whose foreground the command gets while it runs when
    // kelpa has it: an interactive installer reads it, and Ctrl-C and
    // Ctrl-\ reach its whole group, not kelpa.
    foreground_tty = -1;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (isatty(fd)) {
            foreground_tty = fd;
            break;
        }
    const bool had_foreground = foreground_tty >= 0 && tcgetpgrp(foreground_tty) == getpgrp();
    // Blocked until run_pid is known, so that no signal finds a command that
    // started but cannot be reached.
    sigset_t old;
    block_run_signals(&old);
    pid_t pid = fork();
    if (pid == 0) {
        // A group of its own, so that a signal passed on reaches all it
        // starts; the terminal is taken here as well as by kelpa, so that
        // the command never reads it from the background. The command
        // starts with the dispositions kelpa was given, before any signal
        // can reach kelpa's handler in this copy of it.
        setpgid(0, 0);
        if (had_foreground) tcsetpgrp(foreground_tty, getpid());
        restore_entry_dispositions(&old);
        execv("/bin/sh", argv);
        _exit(127);
    }
    std::free(argv);
    if (pid > 0) {
        setpgid(pid, pid);
        pass_terminal(getpgrp(), pid);
        run_pid = pid;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    int status = -1;
    while (pid > 0) {
        if (waitpid(pid, &status, foreground_tty >= 0 ? WUNTRACED : 0) == -1) {
            if (errno == EINTR) continue;
            status = -1;
            break;
        }
        if (!WIFSTOPPED(status)) break;
        // Ctrl-Z stopped the command, or it read the terminal from the
        // background: kelpa's job stops too, so that the shell it was started
        // from has its terminal back and shows the job stopped; when the job
        // is brought back, so is the command, with the foreground if kelpa
        // has it.
        pass_terminal(pid, getpgrp());
        kill(0, SIGSTOP);
        pass_terminal(getpgrp(), pid);
        kill(-pid, SIGCONT);
    }
    block_run_signals(nullptr);
    run_pid = 0;
    if (pid > 0) pass_terminal(pid, getpgrp());
    sigprocmask(SIG_SETMASK, &old, nullptr);
    // kelpa ends by the signal when the command did, once nothing of its
    // group is left; a command that handled it has the last word, as for any
    // command run from a shell. Ctrl-C at the terminal reaches the command
    // alone: one that died of it ends kelpa alike, so that whoever started
    // kelpa learns the operator stopped it, as before (Ctrl-\ was always the
    // command's alone, a failure of the run command).
    int sig = pending_signal;
    pending_signal = 0;
    if (sig == 0 && had_foreground && status != -1 && WIFSIGNALED(status) &&
        WTERMSIG(status) == SIGINT && signal_caught[SIGINT])
        sig = SIGINT;
    foreground_tty = -1;
    if (sig != 0 && status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig) {
        await_group_end(pid);
        remove_link();
        die_of(sig);
    }
    return status;
}

} // namespace driver
