// The readers of key files and of the signature entry, and the checks of a
// secret key, on keys made here with libsodium in minisign's layout.
#include <gtest/gtest.h>

#include <cstring>
#include <sodium.h>
#include <string>

#include "common/testutil.h"
#include "driver/driver.h"
#include "driver/signature.h"

using namespace driver;

namespace {

std::string b64(const std::string &bytes) {
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

const std::string key_id("\x09\x01\x01\x6b\xe9\x91\xf8\x66", 8);

class Signature : public ::testing::Test {
protected:
    unsigned char pk[32], sk[64];
    void SetUp() override {
        testutil::reset_driver_state();
        ASSERT_GE(sodium_init(), 0);
        crypto_sign_ed25519_keypair(pk, sk);
    }
    std::string public_bytes() const { return "Ed" + key_id + std::string(reinterpret_cast<const char *>(pk), 32); }
    // An unencrypted secret key file's bytes, checksum zero as minisign -W leaves it.
    std::string secret_bytes(const unsigned char *secret) const {
        return "Ed" + std::string(2, '\0') + "B2" + std::string(32, 's') + std::string(16, '\0') + key_id +
               std::string(reinterpret_cast<const char *>(secret), 64) + std::string(32, '\0');
    }
    static int unseal(const std::string &text, secret_key &k) {
        sealed_secret_key s;
        if (parse_secret_key(text.data(), text.size(), s) != 0) return 99;
        return unseal_secret_key(s, "", 0, k);
    }
};

} // namespace

TEST_F(Signature, KeyIdIsShownAsALittleEndianNumber) {
    char text[17];
    format_key_id(reinterpret_cast<const unsigned char *>(key_id.data()), text);
    EXPECT_STREQ(text, "66F891E96B010109");
}

TEST_F(Signature, PublicKeyFileTakesOnlyItsExactShape) {
    const std::string line = b64(public_bytes());
    struct Case {
        std::string text;
        bool accepted;
    };
    for (const Case &c : {Case{"untrusted comment: minisign public key\n" + line + "\n", true},
                          Case{"untrusted comment: x\r\n" + line + "\r\n", true},
                          Case{"untrusted comment:\n" + line, true},
                          Case{"trusted comment: x\n" + line + "\n", false},
                          Case{line + "\n", false},
                          Case{"untrusted comment: x\n" + line + "\nextra\n", false},
                          Case{"untrusted comment: x\n" + line + "\n\n", false},
                          Case{"untrusted comment: x\n" + b64("ED" + public_bytes().substr(2)) + "\n", false},
                          Case{"untrusted comment: x\n" + b64(public_bytes() + "x") + "\n", false},
                          Case{"untrusted comment: x\n" + b64(public_bytes().substr(1)) + "\n", false},
                          Case{std::string("untrusted comment: x\n") + '\0' + line, false}}) {
        public_key k{};
        EXPECT_EQ(parse_public_key(c.text.data(), c.text.size(), k) == 0, c.accepted) << c.text;
        if (c.accepted) {
            EXPECT_EQ(std::memcmp(k.id, key_id.data(), 8), 0);
            EXPECT_EQ(std::memcmp(k.pk, pk, 32), 0);
        }
    }
}

TEST_F(Signature, SecretKeyIsCheckedForItsChecksumAndItsHalves) {
    secret_key k{};
    const std::string text = "untrusted comment: x\n" + b64(secret_bytes(sk)) + "\n";
    ASSERT_EQ(unseal(text, k), UNSEAL_OK);
    EXPECT_EQ(std::memcmp(k.sk, sk, 64), 0);
    EXPECT_EQ(std::memcmp(k.id, key_id.data(), 8), 0);

    // Another key's public half after this key's secret half.
    unsigned char other_pk[32], other_sk[64];
    crypto_sign_ed25519_keypair(other_pk, other_sk);
    unsigned char mixed[64];
    std::memcpy(mixed, sk, 32);
    std::memcpy(mixed + 32, other_pk, 32);
    EXPECT_EQ(unseal("untrusted comment: x\n" + b64(secret_bytes(mixed)) + "\n", k), UNSEAL_HALVES);

    // A checksum that is there is checked.
    std::string bytes = secret_bytes(sk);
    bytes[bytes.size() - 1] = 1;
    EXPECT_EQ(unseal("untrusted comment: x\n" + b64(bytes) + "\n", k), UNSEAL_WRONG);

    for (std::string bad : {secret_bytes(sk).replace(2, 2, "Xy"), secret_bytes(sk).replace(4, 2, "B3"),
                            secret_bytes(sk).substr(0, 157), public_bytes()})
        EXPECT_EQ(unseal("untrusted comment: x\n" + b64(bad) + "\n", k), 99);
}

TEST_F(Signature, EntryIsTheListsLastAndExactly96Base64Characters) {
    const std::string chars = b64(key_id + std::string(64, '\x5a'));
    ASSERT_EQ(chars.size(), SIGNATURE_CHARS);
    struct Case {
        std::string list;
        signature_entry want;
        std::size_t at;
    };
    for (const Case &c : {Case{"NAME=a,KX_SIGNATURE=" + chars, signature_entry::present, 7},
                          Case{"KX_SIGNATURE=" + chars, signature_entry::present, 0},
                          Case{"KX_SIGNATURE=" + chars + ",NAME=a", signature_entry::absent, 0},
                          Case{"NAME=a,XKX_SIGNATURE=" + chars, signature_entry::absent, 0},
                          Case{"NAME=a", signature_entry::absent, 0},
                          Case{"", signature_entry::absent, 0},
                          Case{"NAME=a,KX_SIGNATURE=" + chars.substr(1), signature_entry::malformed, 0},
                          Case{"NAME=a,KX_SIGNATURE=" + chars + "A", signature_entry::malformed, 0},
                          Case{"NAME=a,KX_SIGNATURE=" + std::string(96, SIGNATURE_FILLER), signature_entry::malformed, 0},
                          Case{"NAME=a,KX_SIGNATURE=" + chars.substr(0, 95) + "=", signature_entry::malformed, 0}}) {
        unsigned char id[8], sig[64];
        std::size_t at = 12345;
        EXPECT_EQ(parse_signature_entry(c.list.c_str(), id, sig, &at), c.want) << c.list;
        if (c.want == signature_entry::present) {
            EXPECT_EQ(at, c.at) << c.list;
            EXPECT_EQ(std::memcmp(id, key_id.data(), 8), 0);
            EXPECT_EQ(sig[63], 0x5a);
        }
    }
}
