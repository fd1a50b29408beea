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
bool signals_caught;
bool signal_caught[NSIG];

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

// The signals that end a run. Whichever of them kelpa inherited as ignored
// (a run under nohup, or started in the background by a script) stay
// ignored, for kelpa and for the commands it starts.
constexpr int run_signals[] = {SIGHUP, SIGINT, SIGTERM, SIGPIPE};

void on_signal(int sig, siginfo_t *info, void *) {
    if (run_pid > 0) {
        // The run command may need the link to the end: it goes once the
        // command has ended. A signal from the terminal has reached the
        // command's whole process group already; one sent to kelpa alone is
        // passed on.
        if (info == nullptr || info->si_code != SI_KERNEL) kill(static_cast<pid_t>(run_pid), sig);
        pending_signal = sig;
        return;
    }
    unlink_if_ours();
    progress_erase();
    die_of(sig);
}

} // namespace

void catch_run_signals() {
    if (signals_caught) return;
    signals_caught = true;
    struct sigaction sa {};
    sa.sa_sigaction = on_signal;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    for (int sig : run_signals) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
        signal_caught[sig] = true;
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

int run_shell(const char *cmd) {
    catch_run_signals();
    std::fflush(nullptr);
    // Blocked until run_pid is known, so that no signal finds a command that
    // started but cannot be reached.
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &old);
    pid_t pid = fork();
    if (pid == 0) {
        // The command starts with the dispositions kelpa was given, before
        // any signal can reach kelpa's handler in this copy of it.
        for (int sig : run_signals)
            if (signal_caught[sig]) std::signal(sig, SIG_DFL);
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
    // kelpa ends by the signal when the command did; a command that handled
    // it has the last word, as for any command run from a shell.
    if (int sig = pending_signal; sig != 0) {
        pending_signal = 0;
        if (status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig) {
            remove_link();
            die_of(sig);
        }
    }
    return status;
}

} // namespace driver
