// Space verification before an extraction, and the relocation of the
// extraction directory behind a temporary link when its filesystem is full.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/extract.h"
#include "support/ss.h"

namespace driver {

using ss::FsHasMegSpace;

namespace {

constexpr std::size_t FS_LEN = VFYFS_MAX + 1;
constexpr std::size_t FSSUB_LEN = 256;
constexpr std::size_t PATH_LEN = VPATH_MAX + 1;

// The value of a feature entry: the text after its first '=', or the whole entry.
const char *feature_value(const char *key) {
    const char *entry = get_feature(key);
    if (entry == nullptr) return "";
    const char *eq = std::strchr(entry, '=');
    return eq != nullptr ? eq + 1 : entry;
}

void refuse_too_long(const char *what) { report("%s: %s: name too long for the space check\n", progname, what); }

// The separator that joins a and b: none where a already ends in '/' (the
// root) or b begins with one.
const char *separator(const char *a, const char *b) {
    const std::size_t n = std::strlen(a);
    return (n > 0 && a[n - 1] == '/') || b[0] == '/' ? "" : "/";
}

// Joins a and b into dst (PATH_LEN bytes) with one '/' between them; false
// when it would not fit.
bool join(char *dst, const char *a, const char *b) {
    int n = std::snprintf(dst, PATH_LEN, "%s%s%s", a, separator(a, b), b);
    return n >= 0 && static_cast<std::size_t>(n) < PATH_LEN;
}

void drop_trailing_slash(char *s) {
    std::size_t n = std::strlen(s);
    if (n > 0 && s[n - 1] == '/') s[n - 1] = '\0';
}

// The link prompt: true unless the operator answers with n or N. The end of
// input takes the printed default.
bool link_confirmed(const char *target) {
    report("Creating temporary link to %s\n", target);
    report("OK to create temporary link? [y]: ");
    int first = std::getchar();
    // The rest of the line is the answer's too: leaving it would answer the
    // run command's dialog that may follow.
    for (int c = first; c != EOF && c != '\n';) c = std::getchar();
    return first != 'n' && first != 'N';
}

// Kernel filesystems that show state rather than hold files: some of them
// report room (devtmpfs has half the memory), none is a place to extract to.
constexpr const char *pseudo_filesystems[] = {
    "proc", "sysfs", "cgroup", "cgroup2", "devtmpfs", "devpts", "securityfs", "debugfs", "tracefs", "pstore",
    "bpf", "configfs", "fusectl", "mqueue", "hugetlbfs", "binfmt_misc", "autofs", "efivarfs", "nsfs", "rpc_pipefs"};

bool is_pseudo_filesystem(const char *fstype) {
    for (const char *t : pseudo_filesystems)
        if (std::strcmp(fstype, t) == 0) return true;
    return false;
}

// The trees of the kernel and of the running system: whatever is mounted at
// or under them (a tmpfs such as /dev/shm, /run or /sys/fs/cgroup included)
// holds state or lives in memory, never an installation.
bool in_system_tree(const char *path) {
    for (const char *tree : {"/proc", "/sys", "/dev", "/run"}) {
        const std::size_t n = std::strlen(tree);
        if (std::strncmp(path, tree, n) == 0 && (path[n] == '\0' || path[n] == '/')) return true;
    }
    return false;
}

int free_item(void *item) {
    std::free(item);
    return 0;
}

// Whether path is in tried; when not, it is added (a list that cannot grow
// only loses the memory of it).
bool tried_before(ss::APLIST *tried, const char *path) {
    for (int i = 0, n = ss::ap_len(*tried); i < n; i++)
        if (std::strcmp(static_cast<const char *>((*tried)[i]), path) == 0) return true;
    if (char *copy = strdup(path); copy != nullptr && ss::ap_add_item(tried, copy) != 0) std::free(copy);
    return false;
}

// The next mount point of the table worth a try: a filesystem that holds
// files, writable, with room, and not tried before: a mount point listed
// twice (mounted over, or bound twice) is one place.
const ss::ssmnttab *next_candidate(ss::APLIST *tried, int min_mb) {
    int is_root = 0;
    int avail = 0;
    for (ss::ssmnttab *m; (m = ss::ss_getmntent()) != nullptr;) {
        if (is_pseudo_filesystem(m->mt_fstype) || in_system_tree(m->mt_path)) continue;
        // The space test comes first, for every entry.
        if (ss::FsHasMegSpace(m->mt_path, min_mb, &is_root, &avail) != 1 || m->mt_read_only != 0) continue;
        if (!tried_before(tried, m->mt_path)) return m;
    }
    return nullptr;
}

enum class link_result { made, next, refused };

// Tries to relocate the extraction to sym_path/fssub: creates that directory,
// clears native_path and links it there. On success sym_path holds native_path.
link_result do_link(char *sym_path, const char *fssub, const char *native_path) {
    std::size_t n = std::strlen(sym_path);
    const char *sep = separator(sym_path, fssub);
    int len = std::snprintf(sym_path + n, PATH_LEN - n, "%s%s", sep, fssub);
    if (len < 0 || n + static_cast<std::size_t>(len) > MKDIRP_MAX) {
        sym_path[n] = '\0';
        char shown[PATH_LEN + FSSUB_LEN];
        std::snprintf(shown, sizeof shown, "%s%s%s", sym_path, sep, fssub);
        refuse_too_long(shown);
        return link_result::refused;
    }
    if (access(sym_path, F_OK) == 0) {
        report("%s: already exists.\n", sym_path);
        return link_result::next;
    }
    if (verbose && !link_confirmed(sym_path)) return link_result::next;
    // Only a link that leads nowhere, left by an interrupted run, may be
    // replaced; anything else at the link path is the operator's. Looked at
    // before the target is made, which would bring such a link back to life.
    struct stat st;
    if (lstat(native_path, &st) == 0) {
        struct stat to;
        if (!S_ISLNK(st.st_mode) || stat(native_path, &to) == 0 || errno != ENOENT || unlink(native_path) != 0) {
            report("%s: extraction directory exists!\nPlease remove it first then try again.\n", native_path);
            return link_result::refused;
        }
    }
    std::size_t made_from = 0;
    if (mkdirp(sym_path, 0755, &made_from) != 0) {
        report_perror("%s", sym_path);
        remove_made(sym_path, made_from);
        return link_result::next;
    }
    register_link(native_path, sym_path);
    if (symlink(sym_path, native_path) != 0) {
        unregister_link();
        report_perror("%s", sym_path);
        remove_made(sym_path, made_from);
        return link_result::next;
    }
    std::strcpy(sym_path, native_path);
    return link_result::made;
}

} // namespace

int mkdirp(const char *path, int mode, std::size_t *made_from) {
    if (made_from != nullptr) *made_from = 0;
    if (path[0] != '/') return -1;
    std::size_t len = std::strlen(path);
    if (len > MKDIRP_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (access(path, X_OK) == 0) return 0;
    char prefix[MKDIRP_MAX + 1];
    for (std::size_t i = 1; i <= len; i++) {
        if (path[i] != '/' && path[i] != '\0') continue;
        std::memcpy(prefix, path, i);
        prefix[i] = '\0';
        if (access(prefix, X_OK) == 0) continue;
        if (mkdir(prefix, static_cast<mode_t>(mode)) != 0) return -1;
        if (made_from != nullptr && *made_from == 0) *made_from = i;
        // The umask must not narrow what the run command may do there.
        chmod(prefix, static_cast<mode_t>(mode));
    }
    return 0;
}

void remove_made(const char *path, std::size_t made_from) {
    if (made_from == 0) return;
    char dir[MKDIRP_MAX + 1];
    std::snprintf(dir, sizeof dir, "%s", path);
    std::size_t n = std::strlen(dir);
    while (n > 1 && dir[n - 1] == '/') dir[--n] = '\0';
    while (n >= made_from) {
        rmdir(dir);
        while (n > 0 && dir[n - 1] != '/') n--; // to the parent
        while (n > 1 && dir[n - 1] == '/') n--;
        dir[n] = '\0';
    }
}

Verr verify_fs(int min_mb, char *sym_path) {
    sym_path[0] = '\0';
    const char *fs_value = feature_value("VFYFS=");
    char fs[FS_LEN];
    char fssub[FSSUB_LEN];
    std::size_t fs_len = std::strlen(fs_value);
    if (fs_len > VFYFS_MAX) {
        refuse_too_long(fs_value);
        return SE_MKDIR;
    }
    std::strcpy(fs, fs_value);
    // A lookup result holds at most 255 characters, so FSSUB always fits.
    std::strcpy(fssub, get_feature("FSSUB=") != nullptr ? feature_value("FSSUB=") : "");
    // Single characters such as "/" or "." never name an extraction directory.
    // The build refuses them; an archive made otherwise says why it cannot run.
    if (std::strlen(fs) < 2 || std::strlen(fssub) < 2) {
        report("%s: the archive's space check is unusable: VFYFS and FSSUB need two characters or more\n",
               progname);
        return SE_MKDIR;
    }

    char path[PATH_LEN];
    if (fs[0] == '/') {
        std::strcpy(path, fs);
    } else {
        char cwd[PATH_LEN];
        if (getcwd(cwd, sizeof cwd - 1) == nullptr) {
            report_perror("%s", fs);
            return SE_MKDIR;
        }
        if (!join(path, cwd, fs)) {
            refuse_too_long(fs);
            return SE_MKDIR;
        }
    }

    char *base = uncompress_dir[0] != '\0' ? uncompress_dir : path;
    drop_trailing_slash(base);
    char fullpath[PATH_LEN];
    char native_path[PATH_LEN];
    if (!join(fullpath, base, fssub)) {
        refuse_too_long(base);
        return SE_MKDIR;
    }
    if (!join(native_path, fs, fssub)) {
        refuse_too_long(fs);
        return SE_MKDIR;
    }

    if (access(fullpath, F_OK) == 0) {
        report("%s: extraction directory exists!\nPlease remove it first then try again.\n", fullpath);
        return SE_EXISTS;
    }
    // The link will replace whatever stands at its path: never an existing
    // file or directory, whatever -t says.
    if (uncompress_dir[0] != '\0' && access(native_path, F_OK) == 0) {
        report("%s: extraction directory exists!\nPlease remove it first then try again.\n", native_path);
        return SE_EXISTS;
    }

    int is_root = 0;
    int avail = 0;
    bool have_target = false;
    if (uncompress_dir[0] != '\0' && FsHasMegSpace(uncompress_dir, min_mb, &is_root, &avail) != 0) {
        if (std::strlen(uncompress_dir) > VPATH_MAX) {
            refuse_too_long(uncompress_dir);
            return SE_MKDIR;
        }
        std::strcpy(sym_path, uncompress_dir);
        drop_trailing_slash(sym_path);
        have_target = true;
    } else {
        if (FsHasMegSpace(path, min_mb, &is_root, &avail) != 0) return SE_NONE;
        // A -t directory without room never leads to a search elsewhere.
        if (uncompress_dir[0] != '\0') goto done;
        report("%s: not enough space. Looking for space in other filesystems.\n", fullpath);
    }

    {
        ss::ss_endmntent();
        ss::APLIST tried = ss::ap_create(8, free_item);
        link_result result = link_result::next;
        while (result == link_result::next) {
            if (!have_target) {
                const ss::ssmnttab *m = next_candidate(&tried, min_mb);
                if (m == nullptr) break;
                report("Trying %s ...\n", m->mt_path);
                std::strcpy(sym_path, m->mt_path);
            }
            have_target = false;
            result = do_link(sym_path, fssub, native_path);
        }
        ss::ap_destroy(tried);
        if (result == link_result::made) return SE_NONE;
        if (result == link_result::refused) {
            sym_path[0] = '\0';
            return SE_MKDIR;
        }
    }

done:
    sym_path[0] = '\0';
    report("%s: not enough space to extract the archive.\n", fullpath);
    report("Please make at least %dMb available in %s.\n", min_mb, fs);
    report("Alternatively, you can make space available on another filesystem where a\n\"%s\" directory can be "
           "created. Ensure that the \"%s\" directory\ndoes not exist before trying again.\n",
           fssub, fssub);
    return SE_MKDIR;
}

} // namespace driver
