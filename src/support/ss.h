// The support library: mount table access, filesystem space queries, pointer
// lists and string splitting. Depends on nothing but the C library.
#pragma once

#include <cstdio>
#include <ctime>
#include <sys/statfs.h>

namespace ss {

// ---- Pointer lists -------------------------------------------------------
// An APLIST is a NULL-terminated array of item pointers that may be walked as a
// plain array; its ap_head sits in the same block right in front of slot 0, so
// that the word before slot 0 is the magic that tells a list from a bare array.
using APLIST = void **;
using PTF_int = int (*)(void *);

constexpr int AP_MAGIC = 13688; // 0x3578 while the list is live, 0 once released

struct ap_head {
    APLIST obj_start;    // slot 0 of this same block
    int no_items;        // items held; 0 means "count the slots"
    int max_obj;         // capacity; the block has max_obj + 1 slots
    int cur_obj;         // cursor, carried over on growth
    int obj_links;       // 1: the list holds links only, destroying it leaves the items
    PTF_int obj_destroy; // called on each item by ap_destroy
    PTF_int obj_dup;     // item duplication; null at creation
    int magic;           // AP_MAGIC; must stay the last field
};

// A new empty list for no_items items (1 when <= 0), or null when memory runs
// out. Without proc_destroy the list holds links only.
[[nodiscard]] APLIST ap_create(int no_items, PTF_int proc_destroy);
// The header of ap, or null when ap carries none.
ap_head *ap_tohead(APLIST ap);
// Items in ap: 0 for null, the header's count, or the slots before the first
// null (stored in the header when it had no count).
int ap_len(APLIST ap);
// Appends item, growing the list by its capacity when full (*app may move).
// 0, or -1 when *app is null or growth fails (the list is then unchanged).
[[nodiscard]] int ap_add_item(APLIST *app, void *item);
// A new list with room for ap_len(ap) + incr items holding the same items; the
// old block is released. Null for a null ap or when memory runs out (ap is then
// left as it was).
[[nodiscard]] APLIST ap_expand(APLIST ap, int incr);
// Releases the block, not the items.
void ap_del(APLIST ap);
// Releases the items (through obj_destroy, or free for a bare array), then the block.
void ap_destroy(APLIST ap);
// Splits str at any character of toksep into a list of new strings, honouring
// double quotes and backslash escapes. Empty for a null or empty str; null only
// when not even the empty list can be made.
[[nodiscard]] APLIST ap_strsplit(const char *str, const char *toksep);
// Deletes every c1 from str in place; the number deleted.
int strdel(char *str, int c1);

// ---- Mount table ---------------------------------------------------------
struct ssmnttab {
    char mt_dev[128];    // mounted device or source
    char mt_path[128];   // mount point
    char mt_fstype[32];  // filesystem type
    char mt_read_only;   // 1 when mounted with "ro"
    std::time_t mt_time; // always 0
};

// The next entry of the mount table, in one record that every call overwrites;
// null at the end (and from then on, until ss_endmntent). A table that cannot
// be opened is empty.
ssmnttab *ss_getmntent();
// Closes the table so that the next ss_getmntent starts at its first entry.
void ss_endmntent();

// ---- Filesystem space ----------------------------------------------------
using FstatStruct = struct statfs64;

// 1 when the filesystem of path has at least value megabytes (2^20 bytes)
// available to unprivileged users, 0 when fewer, -1 when its statistics cannot
// be read (the outputs are then untouched). is_root: same filesystem as "/".
[[nodiscard]] int FsHasMegSpace(const char *path, int value, int *is_root, int *megs_avl);

// Module state, and the test seams this library allows itself.
//  name        meaning                                            written by / read by
extern const char *mnttab_file;                        // the table read by ss_getmntent: "/etc/mtab"; tests point it elsewhere
extern int (*fs_statfs)(const char *, FstatStruct *);  // statistics source: platform_statfs; tests inject block sizes
extern std::FILE *mtfp;                                // the open mount table, or null when closed       ss_getmntent / ss_endmntent
extern ssmnttab ssmt;                                  // the record every ss_getmntent overwrites        ss_getmntent / its callers

// statfs64, the default of fs_statfs.
int platform_statfs(const char *path, FstatStruct *buf);

// Test seam: closes the mount table and puts every variable above back as the
// process started with it.
void reset_state();

} // namespace ss
