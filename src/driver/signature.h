// Signed archives: minisign key files, the signature entry at the end of the
// feature list, checking an archive against a trusted key and signing a build
// while it is written. All of the cryptography is libsodium's.
//
// What is signed: the BLAKE2b-512 hash of every byte of the archive file, the
// stub's first to the payload's last, with the 96 characters of the signature
// entry read as SIGNATURE_FILLER. The entry, always the list's last:
//
//   KX_SIGNATURE=<96 base64 characters: key id (8 bytes), Ed25519 signature of the hash (64)>
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sodium.h>
#include <sys/types.h>

#include "driver/driver.h"

namespace driver {

constexpr std::size_t SIGN_BYTES = crypto_sign_ed25519_BYTES;          // an Ed25519 signature
constexpr std::size_t SECRET_KEY_BYTES = crypto_sign_ed25519_SECRETKEYBYTES; // seed, then public key
constexpr std::size_t HASH_BYTES = crypto_generichash_blake2b_BYTES_MAX; // BLAKE2b-512
constexpr std::size_t SIGNATURE_CHARS = 96;                            // base64 of key id and signature
constexpr char SIGNATURE_KEY[] = "KX_SIGNATURE=";
constexpr std::size_t SIGNATURE_KEY_LEN = sizeof SIGNATURE_KEY - 1;
// Not a base64 character: an archive whose build ended before its signature
// was written in place reads as a damaged signature, never as a valid one.
constexpr char SIGNATURE_FILLER = '.';
static_assert(SIGNATURE_CHARS == (KEY_ID_BYTES + SIGN_BYTES) / 3 * 4, "96 characters, no padding");
static_assert(crypto_sign_ed25519_PUBLICKEYBYTES == PUBLIC_KEY_BYTES);

// A secret key as it is used: wiped with sodium_memzero when done.
struct secret_key {
    unsigned char id[KEY_ID_BYTES];
    unsigned char sk[SECRET_KEY_BYTES];
};

// A secret key file's fields, the last three still sealed when kdf is "Sc".
struct sealed_secret_key {
    unsigned char kdf[2];          // "\0\0": stored as it is; "Sc": sealed by scrypt
    unsigned char salt[32];
    std::uint64_t opslimit;
    std::uint64_t memlimit;
    unsigned char sealed[KEY_ID_BYTES + SECRET_KEY_BYTES + 32]; // key id, secret key, BLAKE2b-256 checksum
};

// What tells whether a file was written to since it was looked at.
struct file_identity {
    dev_t dev;
    ino_t ino;
    off_t size;
    timespec mtime;
    timespec ctime;
};

// The state of a signed build while it writes.
struct signing_state {
    crypto_generichash_blake2b_state hash; // of every byte written so far
    codec::off64 written;                  // bytes written so far
};

// libsodium started (its fastest implementations chosen) before the first
// call into it; a process that cannot start it ends with a message.
void start_crypto();

// The key id as minisign shows it: the 8 bytes as a little-endian 64-bit
// number, 16 upper-case hex digits and a NUL.
void format_key_id(const unsigned char id[KEY_ID_BYTES], char out[17]);

// Key file texts. 0, or -1 when text is not such a key file: an "untrusted
// comment:" line, then one line of base64 that ends the file.
[[nodiscard]] int parse_public_key(const char *text, std::size_t len, public_key &out);
[[nodiscard]] int parse_secret_key(const char *text, std::size_t len, sealed_secret_key &out);

// Results of unseal_secret_key.
constexpr int UNSEAL_OK = 0;
constexpr int UNSEAL_WRONG = -1;   // the checksum does not match: a wrong password or a damaged key
constexpr int UNSEAL_HALVES = -2;  // the secret and the public half do not belong together
constexpr int UNSEAL_NOMEM = -3;   // the key derivation could not get its memory
// The key, unsealed with the password where the file is encrypted, and
// checked: its checksum where it has one, and that it signs what its own
// public half verifies.
[[nodiscard]] int unseal_secret_key(const sealed_secret_key &s, const char *password, std::size_t password_len,
                                    secret_key &out);

// The key files themselves: 0, or -1 after a message naming the file. An
// encrypted secret key asks for its password on /dev/tty.
[[nodiscard]] int read_public_key(const char *path, public_key &out);
[[nodiscard]] int read_secret_key(const char *path, secret_key &out);

// The list's last entry. present: id and sig filled, *at the index in list
// where SIGNATURE_KEY begins. malformed: the last entry is a KX_SIGNATURE=
// that is not 96 base64 characters.
enum class signature_entry { absent, malformed, present };
signature_entry parse_signature_entry(const char *list, unsigned char id[KEY_ID_BYTES],
                                      unsigned char sig[SIGN_BYTES], std::size_t *at);

// Checks the archive open on fd (its trailer read into the driver's strings)
// against key: 0 when it is signed by it and not a byte differs from what was
// signed; otherwise -1 after the refusal, which names the archive. What is
// hashed is every byte of the file, read through the ledger that read the
// trailer, and the file's identity is kept in verified_file. The ledger's
// offset is left alone. A trailer that a run would refuse is refused.
[[nodiscard]] int verify_archive(const char *name, int fd, const public_key &key);

// Whether the archive verified last is still the file it was (same file, size,
// modification and change time): true, or false after the refusal. Always
// true without -k. A run asks again before each pass that reads the payload
// anew, and before the run command.
[[nodiscard]] bool unchanged_since_verified(const char *name, int fd);

// A signed build, around the usual one: refuse_unsignable_output before
// anything is written (standard output must be a regular file written from
// its start), begin_signing once the list is final (it appends the filled
// entry) and before the first byte, finish_signing after the last: the
// signature goes over the filler in place.
void refuse_unsignable_output(int fd);
[[nodiscard]] int begin_signing();  // 0, or -1 when the entry does not fit the list
void finish_signing(int fd, const secret_key &key);

} // namespace driver
