// What a run leaves standing while it works, and the signals that may end it:
// the temporary link (registered before it is made, removed on every end while
// it is still the link this run made) and the run command, started so that a
// signal sent to kelpa reaches it and is waited for before kelpa dies of it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/extract.h"
#include "driver/progress.h"

namespace driver {

char link_path[512];
char link_target[512];
volatile sig_atomic_t run_pid;
volatile sig_atomic_t pending_signal;

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

void on_signal(int sig) {
    if (run_pid > 0) {
        // The run command may need the link to the end: it goes once the
        // command has ended, then kelpa dies of the same signal.
        kill(static_cast<pid_t>(run_pid), sig);
        pending_signal = sig;
        return;
    }
    unlink_if_ours();
    progress_erase();
    die_of(sig);
}

void catch_signals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // A dropped connection (SIGHUP) ends a run like an interrupt does.
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        // Not over an ignored SIGPIPE: the extraction ignores it to report a
        // command that stops reading.
        if (sig == SIGPIPE && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

} // namespace

void register_link(const char *path, const char *target) {
    catch_signals();
    std::snprintf(link_target, sizeof link_target, "%s", target);
    std::snprintf(link_path, sizeof link_path, "%s", path);
}

void unregister_link() { link_path[0] = '\0'; }

void remove_link() {
    unlink_if_ours();
    link_path[0] = '\0';
}

int run_shell(const char *cmd) {
    catch_signals();
    std::fflush(nullptr);
    // Blocked until run_pid is known, so that no signal finds a command that
    // started but cannot be reached.
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &old);
    pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        execl("/bin/sh", "sh", "-c", cmd, static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid > 0) run_pid = pid;
    // As system() does: a quit from the terminal is the command's to handle.
    struct sigaction ignore {}, quit {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGQUIT, &ignore, &quit);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    int status = -1;
    if (pid > 0) {
        while (waitpid(pid, &status, 0) == -1) {
            if (errno != EINTR) {
                status = -1;
                break;
            }
        }
    }
    sigprocmask(SIG_BLOCK, &block, nullptr);
    run_pid = 0;
    sigaction(SIGQUIT, &quit, nullptr);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (int sig = pending_signal; sig != 0) {
        remove_link();
        die_of(sig);
    }
    return status;
}

} // namespace driver
