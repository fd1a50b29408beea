// The archive as its first read saw it (the driver's `ledger`): every read of
// the archive after find_preamble opens it goes through here, so that a block
// served differently the second time is refused before any byte of it is used.
#include "driver/block_ledger.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/signature.h"

namespace driver {

block_ledger ledger;

namespace {

constexpr char KDF_CONTEXT[crypto_kdf_CONTEXTBYTES + 1] = "kelpablk";

block_digest digest_of(codec::off64 index, const unsigned char *bytes, std::size_t len) {
    unsigned char subkey[crypto_onetimeauth_KEYBYTES];
    crypto_kdf_derive_from_key(subkey, sizeof subkey, static_cast<std::uint64_t>(index), KDF_CONTEXT, ledger.key);
    block_digest d;
    crypto_onetimeauth(d.data(), bytes, len, subkey);
    sodium_memzero(subkey, sizeof subkey);
    return d;
}

[[noreturn]] void archive_changed() {
    if (codec::message_hook != nullptr) codec::message_hook();
    report("%s: the archive changed while it was being read\n", ledger.name);
    codec::abort_gzip();
}

// The whole block from the file: gathers short reads up to its end.
ssize_t read_block(codec::off64 index, unsigned char *to) {
    std::size_t got = 0;
    const codec::off64 at = index * static_cast<codec::off64>(LEDGER_BLOCK);
    while (got < LEDGER_BLOCK) {
        ssize_t n = pread(ledger.fd, to + got, LEDGER_BLOCK - got, at + static_cast<codec::off64>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// The codec reads its input through here while a ledger is kept.
long codec_input(void *buf, unsigned n) { return ledger_read(buf, n); }

} // namespace

void ledger_begin(int fd, const char *name) {
    ledger_end();
    start_crypto();
    crypto_kdf_keygen(ledger.key);
    ledger.fd = fd;
    ledger.name = name;
    codec::input_hook = codec_input;
}

void ledger_end() {
    sodium_memzero(ledger.key, sizeof ledger.key);
    ledger.fd = -1;
    ledger.name = "";
    ledger.digests.clear();
    ledger.digests.shrink_to_fit();
    ledger.seen.clear();
    ledger.seen.shrink_to_fit();
    ledger.eof = -1;
    ledger.pos = 0;
    ledger.held = -1;
    ledger.held_len = 0;
    ledger.unkept = false;
    if (codec::input_hook == codec_input) codec::input_hook = nullptr;
}

namespace {

bool seen_before(std::size_t i) { return i < ledger.seen.size() && ledger.seen[i]; }

// The first read of block index, n bytes in buf: its digest is kept. Past the
// end seen before, the file grew; short before it, the file shrank.
void keep_first_read(codec::off64 index, std::size_t n) {
    const codec::off64 start = index * static_cast<codec::off64>(LEDGER_BLOCK);
    const auto i = static_cast<std::size_t>(index);
    if (ledger.eof >= 0 && ((n > 0 && start + static_cast<codec::off64>(n) > ledger.eof) ||
                            (n < LEDGER_BLOCK && start + static_cast<codec::off64>(n) < ledger.eof)))
        archive_changed();
    if (i >= ledger.seen.size()) {
        ledger.seen.resize(i + 1, false);
        ledger.digests.resize(i + 1);
    }
    ledger.digests[i] = digest_of(index, ledger.buf, n);
    ledger.seen[i] = true;
    if (n < LEDGER_BLOCK) ledger.eof = start + static_cast<codec::off64>(n);
}

} // namespace

void ledger_skim() { ledger.unkept = true; }

void ledger_keep_held() {
    ledger.unkept = false;
    if (ledger.held >= 0 && !seen_before(static_cast<std::size_t>(ledger.held)))
        keep_first_read(ledger.held, ledger.held_len);
}

const unsigned char *ledger_block(codec::off64 index, std::size_t *len) {
    if (index == ledger.held) {
        *len = ledger.held_len;
        return ledger.buf;
    }
    ledger.held = -1;
    const ssize_t got = read_block(index, ledger.buf);
    if (got < 0) return nullptr;
    const std::size_t n = static_cast<std::size_t>(got);
    const auto i = static_cast<std::size_t>(index);
    if (seen_before(i)) {
        // The comparison must not tell how much of a digest matched.
        const block_digest d = digest_of(index, ledger.buf, n);
        if (sodium_memcmp(d.data(), ledger.digests[i].data(), LEDGER_DIGEST) != 0) archive_changed();
    } else if (!ledger.unkept) {
        keep_first_read(index, n);
    }
    ledger.held = index;
    ledger.held_len = n;
    *len = n;
    return ledger.buf;
}

ssize_t ledger_read(void *buf, std::size_t n) {
    const codec::off64 index = ledger.pos / static_cast<codec::off64>(LEDGER_BLOCK);
    const std::size_t off = static_cast<std::size_t>(ledger.pos % static_cast<codec::off64>(LEDGER_BLOCK));
    std::size_t len = 0;
    const unsigned char *block = ledger_block(index, &len);
    if (block == nullptr) return -1;
    if (off >= len) return 0;
    if (n > len - off) n = len - off;
    std::memcpy(buf, block + off, n);
    ledger.pos += static_cast<codec::off64>(n);
    return static_cast<ssize_t>(n);
}

void ledger_seek(codec::off64 pos) { ledger.pos = pos; }

codec::off64 ledger_tell() { return ledger.pos; }

codec::off64 ledger_size() {
    if (ledger.eof >= 0) return ledger.eof;
    struct stat st;
    if (fstat(ledger.fd, &st) != 0) return -1;
    // From the block where the file now ends, on to the first short one.
    for (codec::off64 index = st.st_size / static_cast<codec::off64>(LEDGER_BLOCK);; index++) {
        std::size_t len = 0;
        if (ledger_block(index, &len) == nullptr) return -1;
        if (len < LEDGER_BLOCK) return ledger.eof;
    }
}

int ledger_read_at(codec::off64 pos, void *buf, std::size_t n) {
    const codec::off64 was = ledger.pos;
    ledger.pos = pos;
    auto *to = static_cast<unsigned char *>(buf);
    int result = 0;
    errno = 0;
    for (std::size_t got = 0; got < n;) {
        ssize_t r = ledger_read(to + got, n - got);
        if (r <= 0) {
            result = -1;
            break;
        }
        got += static_cast<std::size_t>(r);
    }
    ledger.pos = was;
    return result;
}

} // namespace driver
