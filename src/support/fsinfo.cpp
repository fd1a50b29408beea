// Filesystem space queries from the platform's filesystem statistics.
#include <climits>
#include <cstdint>
#include <cstring>
#include <sys/statfs.h>

#include "support/ss.h"

namespace ss {

int platform_statfs(const char *path, FstatStruct *buf) { return statfs64(path, buf); }

namespace {

// Whole megabytes (2^20 bytes) in bavail blocks of bsize bytes, counted in
// 512-byte sectors per block as the block unit demands.
std::uint64_t megs_of(std::uint64_t bavail, long long bsize) {
    std::uint64_t bdiv = static_cast<std::uint64_t>(bsize < 512 ? 512 : bsize) / 512;
    std::uint64_t per_meg = 2048 / bdiv;
    if (per_meg != 0) return bavail / per_meg;
    // Blocks of a megabyte and more: each block holds bdiv / 2048 megabytes and
    // more, so scale up, saturating rather than wrapping.
    if (bavail > UINT64_MAX / bdiv) return UINT64_MAX;
    return bavail * bdiv / 2048;
}

} // namespace

int (*fs_statfs)(const char *, FstatStruct *) = platform_statfs;

int FsHasMegSpace(const char *path, int value, int *is_root, int *megs_avl) {
    FstatStruct st{};
    FstatStruct root{};
    if (fs_statfs(path, &st) != 0) return -1;
    (void)fs_statfs("/", &root);
    int a[2], b[2];
    static_assert(sizeof st.f_fsid >= sizeof a);
    std::memcpy(a, &st.f_fsid, sizeof a);
    std::memcpy(b, &root.f_fsid, sizeof b);
    *is_root = a[0] == b[0] ? 1 : 0;
    // The whole 64-bit count enters: a filesystem with more than 2^32 free
    // blocks must not look nearly full.
    std::uint64_t megs = megs_of(static_cast<std::uint64_t>(st.f_bavail), static_cast<long long>(st.f_bsize));
    *megs_avl = megs > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(megs);
    return *megs_avl >= value ? 1 : 0;
}

} // namespace ss
