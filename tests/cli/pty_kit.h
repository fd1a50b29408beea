// Pseudo-terminals for the end-to-end tests: what a program started on one
// shows there.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace kit {

// Everything the terminal of master receives until its last writer is gone;
// pid is killed when the terminal stays silent for quiet_ms (a minute).
inline std::string read_terminal(int master, pid_t pid, int quiet_ms = 60000) {
    std::string screen;
    char buf[4096];
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "no end of the terminal session";
            break;
        }
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break; // EIO once the program and its children are gone
        screen.append(buf, static_cast<std::size_t>(n));
    }
    return screen;
}

// What the terminal of master shows until it has shown `text` (or the session
// ends, or stays silent for quiet_ms).
inline std::string read_terminal_until(int master, pid_t pid, const std::string &text, int quiet_ms = 60000) {
    std::string screen;
    char buf[4096];
    while (screen.find(text) == std::string::npos) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "the terminal never showed " << text;
            break;
        }
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        screen.append(buf, static_cast<std::size_t>(n));
    }
    return screen;
}

} // namespace kit
