// The signature of an archive: reading its entry, checking a whole archive
// file against a trusted key, and signing a build as it is written (the
// driver's `signing` state).
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/block_ledger.h"
#include "driver/driver.h"
#include "driver/signature.h"

namespace driver {

namespace {

constexpr std::size_t SIGNED_BYTES = KEY_ID_BYTES + SIGN_BYTES;

// BLAKE2b-512 of the archive file's bytes as they are, the first to the last,
// with the SIGNATURE_CHARS at offset sig_at read as the filler. Read through
// the ledger, so that the bytes hashed are the ones the trailer was read
// from and the ones every later pass gets. 0, or -1 with errno set.
int hash_archive(codec::off64 sig_at, unsigned char out[HASH_BYTES]) {
    crypto_generichash_blake2b_state st;
    crypto_generichash_blake2b_init(&st, nullptr, 0, HASH_BYTES);
    const codec::off64 sig_end = sig_at + static_cast<codec::off64>(SIGNATURE_CHARS);
    unsigned char filler[SIGNATURE_CHARS];
    std::memset(filler, SIGNATURE_FILLER, sizeof filler);
    for (codec::off64 index = 0;; index++) {
        std::size_t len = 0;
        const unsigned char *block = ledger_block(index, &len);
        if (block == nullptr) return -1;
        const codec::off64 start = index * static_cast<codec::off64>(LEDGER_BLOCK);
        const codec::off64 end = start + static_cast<codec::off64>(len);
        // The signature's characters may straddle two blocks.
        codec::off64 from = start;
        if (sig_at < end && sig_end > start) {
            const codec::off64 a = sig_at > start ? sig_at : start;
            const codec::off64 b = sig_end < end ? sig_end : end;
            crypto_generichash_blake2b_update(&st, block, static_cast<unsigned long long>(a - start));
            crypto_generichash_blake2b_update(&st, filler, static_cast<unsigned long long>(b - a));
            from = b;
        }
        crypto_generichash_blake2b_update(&st, block + (from - start), static_cast<unsigned long long>(end - from));
        if (len < LEDGER_BLOCK) break;
    }
    crypto_generichash_blake2b_final(&st, out, HASH_BYTES);
    return 0;
}

// What identifies the file's contents without reading them: any write moves
// its change time, which no one but root can set back.
file_identity identity_of(const struct stat &st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool same_identity(const file_identity &a, const file_identity &b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec && a.ctime.tv_sec == b.ctime.tv_sec && a.ctime.tv_nsec == b.ctime.tv_nsec;
}

// Hashes each block of a signed build as the codec writes it.
void hash_written(const void *buf, unsigned cnt) {
    crypto_generichash_blake2b_update(&signing.hash, static_cast<const unsigned char *>(buf), cnt);
    signing.written += cnt;
}

// Whether the list holds an entry named KX_SIGNATURE, with a value or without.
bool has_signature_entry(const char *list) {
    for (const char *e = list;; e++) {
        if (std::strncmp(e, SIGNATURE_KEY, SIGNATURE_KEY_LEN - 1) == 0 &&
            (e[SIGNATURE_KEY_LEN - 1] == '=' || e[SIGNATURE_KEY_LEN - 1] == ',' || e[SIGNATURE_KEY_LEN - 1] == '\0'))
            return true;
        e = std::strchr(e, ',');
        if (e == nullptr) return false;
    }
}

} // namespace

signature_entry parse_signature_entry(const char *list, unsigned char id[KEY_ID_BYTES], unsigned char sig[SIGN_BYTES],
                                      std::size_t *at) {
    const char *comma = std::strrchr(list, ',');
    const char *entry = comma != nullptr ? comma + 1 : list;
    if (std::strncmp(entry, SIGNATURE_KEY, SIGNATURE_KEY_LEN) != 0) return signature_entry::absent;
    const char *chars = entry + SIGNATURE_KEY_LEN;
    unsigned char raw[SIGNED_BYTES];
    std::size_t got = 0;
    if (std::strlen(chars) != SIGNATURE_CHARS ||
        sodium_base642bin(raw, sizeof raw, chars, SIGNATURE_CHARS, nullptr, &got, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        got != sizeof raw)
        return signature_entry::malformed;
    std::memcpy(id, raw, KEY_ID_BYTES);
    std::memcpy(sig, raw + KEY_ID_BYTES, SIGN_BYTES);
    *at = static_cast<std::size_t>(entry - list);
    return signature_entry::present;
}

int verify_archive(const char *name, int fd, const public_key &key) {
    // What a signed build writes always ends its strings within their
    // length: bytes past a cut string, or a string without its NUL, were
    // never what the key signed, whatever the strings read as.
    if (trailer_cut) {
        report("%s: a trailer string is longer than 1023 characters\n", name);
        return -1;
    }
    if (!trailer_whole) {
        report("%s: the archive's signature does not match its contents\n", name);
        return -1;
    }
    unsigned char id[KEY_ID_BYTES];
    unsigned char sig[SIGN_BYTES];
    std::size_t at = 0;
    switch (parse_signature_entry(features, id, sig, &at)) {
    case signature_entry::absent: report("%s: the archive is not signed\n", name); return -1;
    case signature_entry::malformed: report("%s: the archive's signature does not match its contents\n", name); return -1;
    case signature_entry::present: break;
    }
    if (std::memcmp(id, key.id, KEY_ID_BYTES) != 0) {
        char signer[17], trusted[17];
        format_key_id(id, signer);
        format_key_id(key.id, trusted);
        report("%s: the archive is signed by key %s, not by %s\n", name, signer, trusted);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        report_perror("%s", name);
        return -1;
    }
    verified_file = identity_of(st);
    unsigned char hash[HASH_BYTES];
    if (hash_archive(trailer_at + static_cast<codec::off64>(at + SIGNATURE_KEY_LEN), hash) != 0) {
        report_perror("%s", name);
        return -1;
    }
    // The answer comes only after every byte of the file was hashed.
    if (crypto_sign_ed25519_verify_detached(sig, hash, sizeof hash, key.pk) != 0) {
        report("%s: the archive's signature does not match its contents\n", name);
        return -1;
    }
    return 0;
}

bool unchanged_since_verified(const char *name, int fd) {
    struct stat st;
    if (!trusted_key_set) return true;
    if (fstat(fd, &st) == 0 && same_identity(identity_of(st), verified_file)) return true;
    report("%s: the archive's signature does not match its contents\n", name);
    return false;
}

void refuse_unsignable_output(int fd) {
    // The signature is written over its filler once everything else is:
    // that needs a file that can be written at an offset, and whose first
    // byte is the archive's.
    struct stat st;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags == -1 || (flags & O_APPEND) != 0 ||
        lseek64(fd, 0, SEEK_CUR) != 0) {
        fatal("%s: a signed archive is written to a file from its start: redirect standard output to a file "
              "(not a pipe, not >>)\n",
              progname);
    }
}

int begin_signing() {
    if (has_signature_entry(features)) {
        fatal("%s: KX_SIGNATURE is the signature's own entry: -F cannot give it\n", progname);
    }
    char entry[SIGNATURE_KEY_LEN + SIGNATURE_CHARS + 1];
    std::memcpy(entry, SIGNATURE_KEY, SIGNATURE_KEY_LEN);
    std::memset(entry + SIGNATURE_KEY_LEN, SIGNATURE_FILLER, SIGNATURE_CHARS);
    entry[sizeof entry - 1] = '\0';
    if (add_feature(entry) != 0) return -1;
    start_crypto();
    crypto_generichash_blake2b_init(&signing.hash, nullptr, 0, HASH_BYTES);
    signing.written = 0;
    codec::write_hook = hash_written;
    return 0;
}

void finish_signing(int fd, const secret_key &key) {
    codec::write_hook = nullptr;
    unsigned char hash[HASH_BYTES];
    crypto_generichash_blake2b_final(&signing.hash, hash, sizeof hash);
    unsigned char raw[SIGNED_BYTES];
    std::memcpy(raw, key.id, KEY_ID_BYTES);
    if (crypto_sign_ed25519_detached(raw + KEY_ID_BYTES, nullptr, hash, sizeof hash, key.sk) != 0) {
        fatal("%s: the archive cannot be signed\n", progname);
    }
    char chars[SIGNATURE_CHARS + 1];
    sodium_bin2base64(chars, sizeof chars, raw, sizeof raw, sodium_base64_VARIANT_ORIGINAL);
    // The filler stands at the end of the list, which ends at its NUL.
    codec::off64 at = trailer_at + static_cast<codec::off64>(std::strlen(features) - SIGNATURE_CHARS);
    for (std::size_t done = 0; done < SIGNATURE_CHARS;) {
        ssize_t n = pwrite(fd, chars + done, SIGNATURE_CHARS - done, at + static_cast<codec::off64>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fatal_perror("%s: stdout", progname);
        done += static_cast<std::size_t>(n);
    }
    // A file opened for writing without being truncated (1<> in the shell)
    // must not keep old bytes after the archive: they would belong to it.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > signing.written && ftruncate(fd, signing.written) != 0) {
        fatal_perror("%s: stdout", progname);
    }
}

} // namespace driver
