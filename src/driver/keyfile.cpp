// Key files in minisign's text formats, which `minisign -G` makes: reading,
// unsealing an encrypted secret key with a password from the terminal, and
// checking that a secret key's two halves belong together.
//
//   public key, 42 bytes:   "Ed"  key id (8)  Ed25519 public key (32)
//   secret key, 158 bytes:  "Ed"  KDF ("\0\0" or "Sc")  "B2"  salt (32)  opslimit (8, LE)  memlimit (8, LE)
//                           then, sealed under "Sc": key id (8)  secret key (64)  BLAKE2b-256 checksum (32)
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <termios.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/signature.h"

namespace driver {

volatile sig_atomic_t password_tty = -1;
termios password_termios;

namespace {

constexpr std::size_t KEY_FILE_MAX = 4096; // far more than any key file of minisign's
constexpr std::size_t PUBLIC_KEY_FILE_BYTES = 2 + KEY_ID_BYTES + PUBLIC_KEY_BYTES;
constexpr std::size_t SECRET_KEY_FILE_BYTES = 2 + 2 + 2 + 32 + 8 + 8 + sizeof sealed_secret_key::sealed;
constexpr std::size_t CHECKSUM_BYTES = 32;
constexpr std::size_t PASSWORD_MAX = 1024;
constexpr char UNTRUSTED_COMMENT[] = "untrusted comment:";
static_assert(PUBLIC_KEY_FILE_BYTES == 42 && SECRET_KEY_FILE_BYTES == 158);

// Decodes the base64 line of a key file into exactly n bytes: the comment
// line, then the base64 line, then nothing but its line end.
bool decode_key_text(const char *text, std::size_t len, unsigned char *out, std::size_t n) {
    const std::size_t comment_len = sizeof UNTRUSTED_COMMENT - 1;
    if (len < comment_len || std::memcmp(text, UNTRUSTED_COMMENT, comment_len) != 0) return false;
    const char *nl = static_cast<const char *>(std::memchr(text, '\n', len));
    if (nl == nullptr) return false;
    const char *line = nl + 1;
    std::size_t line_len = len - static_cast<std::size_t>(line - text);
    if (line_len > 0 && line[line_len - 1] == '\n') line_len--;
    if (line_len > 0 && line[line_len - 1] == '\r') line_len--;
    std::size_t got = 0;
    // Without an end pointer, libsodium takes only a string that is base64
    // throughout: a NUL, a second line or trailing text are refused.
    return sodium_base642bin(out, n, line, line_len, nullptr, &got, nullptr, sodium_base64_VARIANT_ORIGINAL) == 0 &&
           got == n;
}

std::uint64_t le64(const unsigned char *p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

// The whole of a small file into buf (size bytes): its length, or -1 with
// errno set. A length of size means that the file did not fit: no key file.
ssize_t read_small_file(const char *path, char *buf, std::size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t have = 0;
    for (;;) {
        ssize_t n = read(fd, buf + have, size - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        if (n == 0 || (have += static_cast<std::size_t>(n)) == size) break;
    }
    close(fd);
    return static_cast<ssize_t>(have);
}

constexpr int PROMPT_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// A signal while echo is off gives the terminal back as it was, then ends the
// process by the same signal. Async-signal-safe: tcsetattr, signal, raise.
void restore_echo_and_die(int sig) {
    tcsetattr(password_tty, TCSAFLUSH, &password_termios);
    std::signal(sig, SIG_DFL);
    raise(sig);
}

// Reads a line from the terminal without echo: 0 with the password (NUL
// excluded) in pw, or -1 when there is no terminal to ask at.
int read_password(const char *path, char *pw, std::size_t size, std::size_t &len) {
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return -1;
    // Echo goes off before the prompt shows, and what was typed ahead is
    // dropped: it would have been echoed.
    termios saved{};
    const bool have_termios = tcgetattr(tty, &saved) == 0;
    struct sigaction before[std::size(PROMPT_SIGNALS)];
    if (have_termios) {
        password_tty = tty;
        password_termios = saved;
        struct sigaction restore {};
        restore.sa_handler = restore_echo_and_die;
        sigemptyset(&restore.sa_mask);
        for (std::size_t i = 0; i < std::size(PROMPT_SIGNALS); i++) {
            sigaction(PROMPT_SIGNALS[i], nullptr, &before[i]);
            // One inherited as ignored stays ignored.
            if (before[i].sa_handler != SIG_IGN) sigaction(PROMPT_SIGNALS[i], &restore, nullptr);
        }
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    char prompt[BUFLEN + 32];
    if (std::snprintf(prompt, sizeof prompt, "Password for %s: ", path) > 0)
        (void)!write(tty, prompt, std::strlen(prompt));
    len = 0;
    for (;;) {
        char c;
        ssize_t got = read(tty, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || c == '\n') break;
        if (len < size) pw[len++] = c;
    }
    if (len > 0 && pw[len - 1] == '\r') len--;
    if (have_termios) {
        tcsetattr(tty, TCSAFLUSH, &saved);
        for (std::size_t i = 0; i < std::size(PROMPT_SIGNALS); i++) sigaction(PROMPT_SIGNALS[i], &before[i], nullptr);
        password_tty = -1;
    }
    (void)!write(tty, "\n", 1);
    close(tty);
    return 0;
}

// Whether sk signs what its own public half verifies: a secret key whose
// halves were taken from two keys signs nothing its public key accepts.
bool halves_belong_together(const unsigned char sk[SECRET_KEY_BYTES]) {
    static const unsigned char probe[] = "kelpa key check";
    unsigned char sig[SIGN_BYTES];
    if (crypto_sign_ed25519_detached(sig, nullptr, probe, sizeof probe, sk) != 0) return false;
    return crypto_sign_ed25519_verify_detached(sig, probe, sizeof probe, sk + SECRET_KEY_BYTES - PUBLIC_KEY_BYTES) == 0;
}

} // namespace

void format_key_id(const unsigned char id[KEY_ID_BYTES], char out[17]) {
    std::snprintf(out, 17, "%016llX", static_cast<unsigned long long>(le64(id)));
}

int parse_public_key(const char *text, std::size_t len, public_key &out) {
    unsigned char raw[PUBLIC_KEY_FILE_BYTES];
    if (!decode_key_text(text, len, raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd') return -1;
    std::memcpy(out.id, raw + 2, KEY_ID_BYTES);
    std::memcpy(out.pk, raw + 2 + KEY_ID_BYTES, PUBLIC_KEY_BYTES);
    return 0;
}

int parse_secret_key(const char *text, std::size_t len, sealed_secret_key &out) {
    unsigned char raw[SECRET_KEY_FILE_BYTES];
    if (!decode_key_text(text, len, raw, sizeof raw)) return -1;
    const bool plain = raw[2] == 0 && raw[3] == 0;
    const bool scrypt = raw[2] == 'S' && raw[3] == 'c';
    int ok = std::memcmp(raw, "Ed", 2) == 0 && (plain || scrypt) && std::memcmp(raw + 4, "B2", 2) == 0 ? 0 : -1;
    if (ok == 0) {
        std::memcpy(out.kdf, raw + 2, 2);
        std::memcpy(out.salt, raw + 6, sizeof out.salt);
        out.opslimit = le64(raw + 38);
        out.memlimit = le64(raw + 46);
        std::memcpy(out.sealed, raw + 54, sizeof out.sealed);
    }
    sodium_memzero(raw, sizeof raw);
    return ok;
}

int unseal_secret_key(const sealed_secret_key &s, const char *password, std::size_t password_len, secret_key &out) {
    unsigned char plain[sizeof s.sealed];
    std::memcpy(plain, s.sealed, sizeof plain);
    const bool sealed = s.kdf[0] == 'S';
    if (sealed) {
        unsigned char stream[sizeof plain];
        if (s.memlimit > SIZE_MAX ||
            crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, password, password_len, s.salt, s.opslimit,
                                               static_cast<std::size_t>(s.memlimit)) != 0) {
            sodium_memzero(plain, sizeof plain);
            return UNSEAL_NOMEM;
        }
        for (std::size_t i = 0; i < sizeof plain; i++) plain[i] ^= stream[i];
        sodium_memzero(stream, sizeof stream);
    }
    const unsigned char *id = plain;
    const unsigned char *sk = plain + KEY_ID_BYTES;
    const unsigned char *checksum = sk + SECRET_KEY_BYTES;
    // minisign -G -W leaves an unencrypted key's checksum zero; its halves
    // are checked below all the same.
    static const unsigned char no_checksum[CHECKSUM_BYTES] = {};
    int result = UNSEAL_OK;
    if (sealed || sodium_memcmp(checksum, no_checksum, CHECKSUM_BYTES) != 0) {
        unsigned char want[CHECKSUM_BYTES];
        crypto_generichash_blake2b_state st;
        crypto_generichash_blake2b_init(&st, nullptr, 0, sizeof want);
        crypto_generichash_blake2b_update(&st, reinterpret_cast<const unsigned char *>("Ed"), 2);
        crypto_generichash_blake2b_update(&st, id, KEY_ID_BYTES);
        crypto_generichash_blake2b_update(&st, sk, SECRET_KEY_BYTES);
        crypto_generichash_blake2b_final(&st, want, sizeof want);
        sodium_memzero(&st, sizeof st);
        if (sodium_memcmp(want, checksum, CHECKSUM_BYTES) != 0) result = UNSEAL_WRONG;
    }
    if (result == UNSEAL_OK && !halves_belong_together(sk)) result = UNSEAL_HALVES;
    if (result == UNSEAL_OK) {
        std::memcpy(out.id, id, KEY_ID_BYTES);
        std::memcpy(out.sk, sk, SECRET_KEY_BYTES);
    }
    sodium_memzero(plain, sizeof plain);
    return result;
}

void start_crypto() {
    if (sodium_init() < 0) fatal("%s: the cryptography library cannot start\n", progname);
}

int read_public_key(const char *path, public_key &out) {
    start_crypto();
    char text[KEY_FILE_MAX];
    ssize_t len = read_small_file(path, text, sizeof text);
    if (len < 0) {
        report_perror("%s: %s", progname, path);
        return -1;
    }
    if (static_cast<std::size_t>(len) == sizeof text || parse_public_key(text, static_cast<std::size_t>(len), out) != 0) {
        report("%s: %s: not a public key file of minisign's\n", progname, path);
        return -1;
    }
    return 0;
}

int read_secret_key(const char *path, secret_key &out) {
    start_crypto();
    char text[KEY_FILE_MAX];
    ssize_t len = read_small_file(path, text, sizeof text);
    if (len < 0) {
        report_perror("%s: %s", progname, path);
        return -1;
    }
    sealed_secret_key s;
    int parsed = static_cast<std::size_t>(len) == sizeof text ? -1 : parse_secret_key(text, static_cast<std::size_t>(len), s);
    sodium_memzero(text, sizeof text);
    if (parsed != 0) {
        report("%s: %s: not a secret key file of minisign's\n", progname, path);
        return -1;
    }
    char pw[PASSWORD_MAX];
    std::size_t pw_len = 0;
    if (s.kdf[0] == 'S' && read_password(path, pw, sizeof pw, pw_len) != 0) {
        report("%s: %s: the secret key is encrypted, and there is no terminal to ask for its password\n", progname,
               path);
        return -1;
    }
    int result = unseal_secret_key(s, pw, pw_len, out);
    sodium_memzero(pw, sizeof pw);
    sodium_memzero(&s, sizeof s);
    switch (result) {
    case UNSEAL_OK: return 0;
    case UNSEAL_WRONG: report("%s: %s: wrong password, or the secret key is damaged\n", progname, path); break;
    case UNSEAL_HALVES:
        report("%s: %s: the secret key's two halves do not belong together\n", progname, path);
        break;
    default: report("%s: %s: not enough memory to derive the key from its password\n", progname, path); break;
    }
    return -1;
}

} // namespace driver
