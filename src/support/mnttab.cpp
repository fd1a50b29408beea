// The mount table as fixed-size records: one open stream and one result record
// for the whole process (mtfp, ssmt); and the support library's test reset.
#include <cstdio>
#include <cstring>
#include <mntent.h>

#include "support/ss.h"

namespace ss {

const char *mnttab_file = "/etc/mtab";
std::FILE *mtfp;
ssmnttab ssmt;

namespace {

// Copies src into a field of n bytes, always terminated: a longer name is cut.
void copy_field(char *dst, std::size_t n, const char *src) {
    std::strncpy(dst, src != nullptr ? src : "", n);
    dst[n - 1] = '\0';
}

ssmnttab *mt_copy(const struct mntent *m) {
    copy_field(ssmt.mt_dev, sizeof ssmt.mt_dev, m->mnt_fsname);
    copy_field(ssmt.mt_path, sizeof ssmt.mt_path, m->mnt_dir);
    copy_field(ssmt.mt_fstype, sizeof ssmt.mt_fstype, m->mnt_type);
    ssmt.mt_read_only = hasmntopt(m, "ro") != nullptr ? 1 : 0;
    ssmt.mt_time = 0;
    return &ssmt;
}

} // namespace

ssmnttab *ss_getmntent() {
    if (mtfp == nullptr) {
        mtfp = setmntent(mnttab_file, "r");
        if (mtfp == nullptr) return nullptr;
    }
    // A mount point cut to fit the record would name another directory: such
    // an entry is skipped, never handed on.
    for (struct mntent *m; (m = getmntent(mtfp)) != nullptr;)
        if (std::strlen(m->mnt_dir) < sizeof ssmt.mt_path) return mt_copy(m);
    return nullptr;
}

void ss_endmntent() {
    if (mtfp != nullptr) {
        endmntent(mtfp);
        mtfp = nullptr;
    }
}

void reset_state() {
    ss_endmntent();
    mnttab_file = "/etc/mtab";
    std::memset(&ssmt, 0, sizeof ssmt);
    fs_statfs = platform_statfs;
}

} // namespace ss
