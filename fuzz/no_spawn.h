// Shared by the harnesses whose code must never start a command: while
// `spawn_forbidden` is set, system and popen abort the process, so any path
// that would run a trailer's command becomes a finding. Outside the target
// (libFuzzer's own merge runs commands) they pass through to the C library.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace {
bool spawn_forbidden = false;
}

extern "C" int system(const char *cmd) {
    if (spawn_forbidden) std::abort();
    static auto real = reinterpret_cast<int (*)(const char *)>(dlsym(RTLD_NEXT, "system"));
    return real(cmd);
}

extern "C" FILE *popen(const char *cmd, const char *mode) {
    if (spawn_forbidden) std::abort();
    static auto real = reinterpret_cast<FILE *(*)(const char *, const char *)>(dlsym(RTLD_NEXT, "popen"));
    return real(cmd, mode);
}
