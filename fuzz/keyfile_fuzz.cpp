// Proves that the key file readers and the signature entry reader stay inside
// their input whatever it holds, and accept only what has the exact shape:
// a key of the right bytes, a signature entry that is the list's last.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sodium.h>
#include <vector>

#include "driver/driver.h"
#include "driver/signature.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return sodium_init() < 0 ? 1 : 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the reader; the rest is its input, in an
    // allocation of its exact size so that a read past it is caught.
    const std::vector<char> text(data + 1, data + size);
    switch (data[0] % 3) {
    case 0: {
        driver::public_key k;
        if (driver::parse_public_key(text.data(), text.size(), k) == 0 &&
            std::memcmp(text.data(), "untrusted comment:", 18) != 0)
            std::abort();
        break;
    }
    case 1: {
        driver::sealed_secret_key s;
        if (driver::parse_secret_key(text.data(), text.size(), s) != 0) break;
        if (s.kdf[0] != 0 && !(s.kdf[0] == 'S' && s.kdf[1] == 'c')) std::abort();
        // Unsealing an encrypted key would run the KDF with the input's own
        // limits: only a stored key is taken further.
        if (s.kdf[0] == 0) {
            driver::secret_key k;
            int r = driver::unseal_secret_key(s, "", 0, k);
            if (r != driver::UNSEAL_OK && r != driver::UNSEAL_WRONG && r != driver::UNSEAL_HALVES) std::abort();
            sodium_memzero(&k, sizeof k);
        }
        break;
    }
    default: {
        std::vector<char> list(text);
        list.push_back('\0');
        unsigned char id[driver::KEY_ID_BYTES];
        unsigned char sig[driver::SIGN_BYTES];
        std::size_t at = 0;
        if (driver::parse_signature_entry(list.data(), id, sig, &at) == driver::signature_entry::present) {
            const std::size_t len = std::strlen(list.data());
            if (at + driver::SIGNATURE_KEY_LEN + driver::SIGNATURE_CHARS != len) std::abort();
            if (at != 0 && list[at - 1] != ',') std::abort();
            if (std::memchr(list.data() + at, ',', len - at) != nullptr) std::abort();
        }
        break;
    }
    }
    return 0;
}
