// Shared by the harnesses that hand the code under test a file: one scratch
// file per process, executable as an archive is, removed when the process
// ends, in $TMPDIR (or /tmp). `name` goes into the file's name, to tell the
// harnesses' files apart.
#pragma once

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

inline std::string &scratch_path(const char *name) {
    static std::string path = [name] {
        const char *dir = std::getenv("TMPDIR");
        std::string tmpl = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kelpa-" + name + "-fuzz-XXXXXX";
        int fd = mkstemp(tmpl.data());
        if (fd < 0) std::abort();
        fchmod(fd, 0755);
        close(fd);
        std::atexit([] { unlink(path.c_str()); });
        return tmpl;
    }();
    return path;
}
