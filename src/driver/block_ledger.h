// The archive as its first read saw it: a keyed digest of each aligned block,
// taken the first time the block is read, and every later read of the block
// compared with it before any of its bytes is handed on.
#pragma once

#include <array>
#include <cstddef>
#include <sodium.h>
#include <sys/types.h>
#include <vector>

#include "codec/codec.h"

namespace driver {

constexpr std::size_t LEDGER_BLOCK = 1 << 16;                  // bytes per aligned block
constexpr std::size_t LEDGER_DIGEST = crypto_onetimeauth_BYTES; // 16 bytes per block: 256 KiB per GiB
static_assert(LEDGER_DIGEST == 16);

using block_digest = std::array<unsigned char, LEDGER_DIGEST>;

// The blocks of the archive being read. Each block's digest is Poly1305 under
// a key of its own, derived from a key drawn for this run, so that no one who
// serves the file can aim at it; nothing of the key leaves the process.
struct block_ledger {
    int fd = -1;                                     // the archive, or -1 when none is kept
    const char *name = "";                           // the archive's name, for the refusal
    unsigned char key[crypto_kdf_KEYBYTES] = {};     // drawn by ledger_begin, wiped by ledger_end
    std::vector<block_digest> digests;               // by block index
    std::vector<bool> seen;                          // a digest was taken for the block
    codec::off64 eof = -1;                           // the file's size as first read, or -1 before its end was read
    codec::off64 pos = 0;                            // offset of the next ledger_read
    codec::off64 held = -1;                          // index of the block in buf, or -1
    bool unkept = false;                             // first reads take no digest (set by ledger_skim)
    std::size_t held_len = 0;                        // its length (short only at the end of the file)
    unsigned char buf[LEDGER_BLOCK];                 // the block last read, checked
};

// The ledger of the archive being read: its state, written and read here only
// (listing moves its descriptor when it moves the archive to descriptor 0).
extern block_ledger ledger;

// Starts keeping the blocks of the archive open on fd (read with pread, at
// offset 0 on), named name in the refusal, with a fresh key; forgets any
// archive kept before. ledger_end wipes the key and forgets the archive.
void ledger_begin(int fd, const char *name);
void ledger_end();

// Until ledger_keep_held, first reads take no digest: for bytes that no later
// pass reads again (a stub searched for the marker), whose digest would be
// paid for and never compared. ledger_keep_held takes the digest of the block
// last read, then every first read takes one again.
void ledger_skim();
void ledger_keep_held();

// Reads at most n bytes at the ledger's offset and moves it on: the count, 0
// at the end of the file, or -1 with errno set. A block whose bytes differ from
// its first read ends the process with "%s: the archive changed while it was
// being read\n", through the codec's fatal exit, so that the run's effects are
// undone and nothing of the block is delivered.
[[nodiscard]] ssize_t ledger_read(void *buf, std::size_t n);
void ledger_seek(codec::off64 pos);
[[nodiscard]] codec::off64 ledger_tell();
// The block at index, checked as ledger_read does: its bytes (valid until the
// next call), *len of them, short only at the end of the file; null with errno
// set when it cannot be read.
[[nodiscard]] const unsigned char *ledger_block(codec::off64 index, std::size_t *len);
// The file's size as its first read saw it; -1 with errno set when the end
// cannot be read. Reads the last blocks when no pass has reached them yet.
[[nodiscard]] codec::off64 ledger_size();
// Exactly n bytes at pos (the ledger's offset is left alone): 0, or -1, with
// errno 0 for the end of the file.
[[nodiscard]] int ledger_read_at(codec::off64 pos, void *buf, std::size_t n);

} // namespace driver
