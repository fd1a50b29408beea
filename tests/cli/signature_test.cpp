// Signed archives end to end: keys made by minisign, archives signed by the
// real kelpa with -K and checked with -k before anything of them runs, from
// the archive itself and from a bare kelpa; damaged, foreign and unsigned
// archives refused with nothing created, started or written; the signature
// checked once more by an independent route (Python's hashlib and
// cryptography).
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <ostream>
#include <pty.h>
#include <set>
#include <sodium.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "cli/pty_kit.h"
#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::ends_with;
using testutil::read_file;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::TempDir;

namespace {

const std::string not_matching = ": the archive's signature does not match its contents\n";

// The second line of a key file, decoded.
std::string key_bytes(const std::string &file) {
    std::string text = read_file(file);
    std::size_t from = text.find('\n') + 1;
    std::string line = text.substr(from, text.find('\n', from) - from);
    std::string out(line.size(), '\0');
    std::size_t len = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char *>(out.data()), out.size(), line.data(), line.size(), nullptr,
                          &len, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
        ADD_FAILURE() << file << ": no base64 key line";
    out.resize(len);
    return out;
}

// A key id as minisign shows it: little-endian, 16 upper-case hex digits.
std::string key_id_text(const std::string &id) {
    unsigned long long v = 0;
    for (std::size_t i = 8; i-- > 0;) v = v << 8 | static_cast<unsigned char>(id[i]);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llX", v);
    return hex;
}

std::string key_file(const std::string &comment, const std::string &bytes) {
    std::string b64(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(b64.data(), b64.size(), reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    b64.resize(std::strlen(b64.c_str()));
    return "untrusted comment: " + comment + "\n" + b64 + "\n";
}

class Signed : public ::testing::Test {
protected:
    TempDir dir;
    std::string arc = dir / "app.run";
    std::string pub = dir / "vendor.pub";
    std::string key = dir / "vendor.key";
    std::string data = testutil::datagen(200000, 21, 0.6);
    std::string minisign = testutil::find_on_path("minisign");

    void SetUp() override {
        if (minisign.empty()) {
            if (testutil::in_ci()) FAIL() << "minisign, which makes the keys, is not installed";
            GTEST_SKIP() << "minisign, which makes the keys, is not installed";
        }
        ASSERT_EQ(sodium_init() < 0, false);
        testutil::write_file(dir / "data.tar", data);
        make_key("vendor");
    }

    RunOptions in_dir() const {
        RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        return o;
    }

    // NAME.pub and NAME.key, unencrypted.
    void make_key(const std::string &name) {
        auto r = testutil::run({minisign, "-G", "-W", "-p", dir / (name + ".pub"), "-s", dir / (name + ".key")},
                               in_dir());
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // kelpa with its standard output on path, opened with flags.
    RunResult build_to(const std::string &path, const std::vector<std::string> &args,
                       int flags = O_WRONLY | O_CREAT | O_TRUNC) const {
        int fd = open(path.c_str(), flags | O_CLOEXEC, 0755);
        EXPECT_GE(fd, 0) << path;
        RunOptions o = in_dir();
        o.stdout_fd = fd;
        auto r = testutil::run_kelpa(args, o);
        close(fd);
        return r;
    }

    // The archive of data.tar, signed with vendor.key; its commands leave a
    // trace of every effect.
    void build_signed(const std::vector<std::string> &more = {}) {
        std::vector<std::string> args = {"-C", "App", "-r", "touch ran", "-f", "touch started; cat > got", "-K", key};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back("data.tar");
        auto r = build_to(arc, args);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.err, "");
    }

    // Signs the archive's bytes as they stand with vendor.key, in place of
    // its signature's characters (read as dots): a signature that covers
    // every byte of a, whatever its strings read as.
    static void sign_bytes(std::string &a, const std::string &secret_key_file) {
        const std::string sk = key_bytes(secret_key_file);
        const std::size_t at = a.find("KX_SIGNATURE=", read_file(testutil::kelpa_bin()).size()) + 13;
        std::string hashed = a;
        hashed.replace(at, 96, std::string(96, '.'));
        unsigned char hash[crypto_generichash_blake2b_BYTES_MAX];
        crypto_generichash_blake2b(hash, sizeof hash, reinterpret_cast<const unsigned char *>(hashed.data()),
                                   hashed.size(), nullptr, 0);
        unsigned char raw[8 + crypto_sign_ed25519_BYTES];
        std::memcpy(raw, sk.data() + 54, 8); // the key id, then the secret key
        crypto_sign_ed25519_detached(raw + 8, nullptr, hash, sizeof hash,
                                     reinterpret_cast<const unsigned char *>(sk.data()) + 62);
        char chars[97];
        sodium_bin2base64(chars, sizeof chars, raw, sizeof raw, sodium_base64_VARIANT_ORIGINAL);
        a.replace(at, 96, chars, 96);
    }

    std::set<std::string> entries() const {
        std::set<std::string> names;
        DIR *d = opendir(dir.path().c_str());
        while (struct dirent *e = readdir(d)) names.insert(e->d_name);
        closedir(d);
        return names;
    }

    // kelpa refuses with exactly err_tail at the end of standard error: no
    // banner, no output, and nothing in the directory that was not there.
    void expect_refused(const std::vector<std::string> &args, const std::string &err, const std::string &what) {
        const auto before = entries();
        auto r = testutil::run_kelpa(args, in_dir());
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.err, err) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_EQ(entries(), before) << what;
    }
};

// The three ways of checking a run against the key: the archive's own copy of
// kelpa, and a bare kelpa with -k before and after -u.
std::vector<std::vector<std::string>> checked_runs(const std::string &arc, const std::string &pub,
                                                   const std::vector<std::string> &opts) {
    std::vector<std::vector<std::string>> runs = {{arc, "-k", pub}, {testutil::kelpa_bin(), "-k", pub, "-u"},
                                                  {testutil::kelpa_bin(), "-u", "-k", pub}};
    for (auto &r : runs) {
        r.insert(r.end(), opts.begin(), opts.end());
        if (r[0] != arc) r.push_back(arc);
    }
    return runs;
}

TEST_F(Signed, ArchiveSignedWithTheKeyRunsCheckedAndUnchecked) {
    build_signed();
    auto runs = checked_runs(arc, pub, {});
    runs.push_back({arc});
    for (const auto &argv : runs) {
        for (const char *f : {"got", "ran", "started"}) unlink((dir / f).c_str());
        auto r = testutil::run(argv, in_dir());
        EXPECT_EQ(r.status, 0) << argv[1] << " " << r.err;
        EXPECT_EQ(r.err, kit::comment_lines("App"));
        EXPECT_TRUE(read_file(dir / "got") == data);
        EXPECT_EQ(access((dir / "ran").c_str(), F_OK), 0);
    }
    auto x = testutil::run({testutil::kelpa_bin(), "-u", "-k", pub, "-x", arc}, in_dir());
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_TRUE(x.out == data);
}

struct Damage {
    const char *name;
    std::function<void(std::string &, std::size_t stub, std::size_t payload)> apply;
    friend void PrintTo(const Damage &d, std::ostream *os) { *os << d.name; }
};

class DamagedSigned : public Signed, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedSigned, IsRefusedBeforeAnythingHappens) {
    build_signed();
    std::string bytes = read_file(arc);
    const std::size_t stub = read_file(testutil::kelpa_bin()).size();
    const std::size_t payload = kit::read_trailer(bytes, stub);
    ASSERT_NE(payload, std::string::npos);
    GetParam().apply(bytes, stub, payload);
    testutil::write_file(arc, bytes, 0755);
    // The trusted verifier: the archive's own stub may be the damaged part.
    for (const char *opt : {"", "-x", "-n"}) {
        std::vector<std::string> args = {"-u", "-k", pub};
        if (opt[0] != '\0') args.push_back(opt);
        args.push_back(arc);
        expect_refused(args, arc + not_matching, std::string(GetParam().name) + " " + opt);
    }
    // And listed: the refusal in place of the listing.
    expect_refused({"-l", "-k", pub, arc}, arc + not_matching, std::string(GetParam().name) + " -l");
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, DamagedSigned,
    ::testing::Values(Damage{"stub", [](std::string &a, std::size_t stub, std::size_t) { a[stub / 2] ^= 0x01; }},
                      Damage{"trailer", [](std::string &a, std::size_t stub, std::size_t) {
                                 a[a.find(std::string("\0App\0", 5), stub) + 1] = 'B'; // the comment
                             }},
                      Damage{"payload", [](std::string &a, std::size_t, std::size_t p) { a[(p + a.size()) / 2] ^= 0x40; }},
                      Damage{"appended", [](std::string &a, std::size_t, std::size_t) { a.push_back('\n'); }},
                      Damage{"removed", [](std::string &a, std::size_t, std::size_t) { a.pop_back(); }},
                      // Another base64 character in the signature itself.
                      Damage{"signature", [](std::string &a, std::size_t stub, std::size_t) {
                                 std::size_t last = a.find('\0', a.find("KX_SIGNATURE=", stub)) - 1;
                                 a[last] = a[last] == 'A' ? 'B' : 'A';
                             }},
                      Damage{"signature_filler", [](std::string &a, std::size_t stub, std::size_t) {
                                 std::size_t at = a.find("KX_SIGNATURE=", stub) + 13;
                                 a.replace(at, 96, std::string(96, '.'));
                             }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Signed, ArchiveSignedByAnotherKeyOrUnsignedIsRefused) {
    build_signed();
    make_key("other");
    const std::string signer = key_bytes(pub).substr(2, 8);
    const std::string other = key_bytes(dir / "other.pub").substr(2, 8);
    // minisign shows the same number in its comment line, without leading zeros.
    const std::string shown = key_id_text(signer);
    EXPECT_NE(read_file(pub).find("minisign public key " + shown.substr(shown.find_first_not_of('0')) + "\n"),
              std::string::npos);
    for (const auto &argv : checked_runs(arc, dir / "other.pub", {})) {
        const auto before = entries();
        auto r = testutil::run(argv, in_dir());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, arc + ": the archive is signed by key " + key_id_text(signer) + ", not by " + key_id_text(other) + "\n");
        EXPECT_EQ(entries(), before);
    }
    auto unsigned_build = build_to(dir / "plain.run", {"-r", "touch ran", "data.tar"});
    ASSERT_EQ(unsigned_build.status, 0) << unsigned_build.err;
    for (const auto &argv : checked_runs(dir / "plain.run", pub, {"-x"})) {
        const auto before = entries();
        auto r = testutil::run(argv, in_dir());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, dir / "plain.run" + ": the archive is not signed\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(entries(), before);
    }
}

// -T with -k: the signature first, then the payload; each archive on its own.
TEST_F(Signed, CheckOnlyChecksTheSignatureOfEachArchive) {
    build_signed();
    make_key("other");
    auto plain = build_to(dir / "plain.run", {"-r", "touch ran", "data.tar"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::string bytes = read_file(arc);
    bytes[bytes.size() / 2] ^= 1;
    testutil::write_file(dir / "flipped.run", bytes, 0755);
    const auto before = entries();
    for (const auto &argv : checked_runs(arc, pub, {"-T"})) {
        auto r = testutil::run(argv, in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, arc + ": OK\n");
        EXPECT_EQ(r.err, "");
    }
    auto wrong = testutil::run({arc, "-T", "-k", dir / "other.pub"}, in_dir());
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_NE(wrong.err.find(": the archive is signed by key "), std::string::npos) << wrong.err;
    auto several = testutil::run_kelpa({"-k", pub, "-T", "app.run", "plain.run", "flipped.run", "app.run"}, in_dir());
    EXPECT_EQ(several.status, 1);
    EXPECT_EQ(several.out, "app.run: OK\napp.run: OK\n");
    EXPECT_EQ(several.err, "plain.run: the archive is not signed\nflipped.run" + not_matching);
    EXPECT_EQ(entries(), before);
}

TEST_F(Signed, UnusableKeyFilesAreRefusedNamingThem) {
    build_signed();
    make_key("other");
    std::string sk = key_bytes(key);
    // The public half of another key after this key's secret half.
    sk.replace(54 + 8 + 32, 32, key_bytes(dir / "other.pub").substr(10, 32));
    testutil::write_file(dir / "halves.key", key_file("minisign encrypted secret key", sk));
    testutil::write_file(dir / "garbage.pub", "untrusted comment: x\nnot base64 at all\n");
    std::string pub_text = read_file(pub);
    testutil::write_file(dir / "junk.pub", pub_text + "more\n");
    testutil::write_file(dir / "short.pub", key_file("x", key_bytes(pub).substr(0, 41)));
    const std::string k = testutil::kelpa_bin();
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"-u", "-k", dir / "missing.pub", arc}, k + ": " + dir / "missing.pub" + ": No such file or directory\n"},
        {{"-u", "-k", dir / "garbage.pub", arc}, k + ": " + dir / "garbage.pub" + ": not a public key file of minisign's\n"},
        {{"-u", "-k", dir / "junk.pub", "-x", arc}, k + ": " + dir / "junk.pub" + ": not a public key file of minisign's\n"},
        {{"-u", "-k", dir / "short.pub", "-n", arc}, k + ": " + dir / "short.pub" + ": not a public key file of minisign's\n"},
        {{"-u", "-k", key, arc}, k + ": " + key + ": not a public key file of minisign's\n"},
        {{"-l", "-k", dir / "missing.pub", arc}, k + ": " + dir / "missing.pub" + ": No such file or directory\n"},
        {{"-K", pub, "data.tar"}, k + ": " + pub + ": not a secret key file of minisign's\n"},
        {{"-K", dir / "missing.key", "data.tar"}, k + ": " + dir / "missing.key" + ": No such file or directory\n"},
        {{"-K", dir / "halves.key", "data.tar"},
         k + ": " + dir / "halves.key" + ": the secret key's two halves do not belong together\n"},
    };
    for (const Case &c : cases) {
        if (c.args[0] == "-K") {
            const auto before = entries();
            auto r = build_to(dir / "out.run", c.args);
            EXPECT_EQ(r.status, 1) << c.err;
            EXPECT_EQ(r.err, c.err);
            EXPECT_EQ(read_file(dir / "out.run"), "") << c.err;
            unlink((dir / "out.run").c_str());
            EXPECT_EQ(entries(), before);
        } else {
            expect_refused(c.args, c.err, c.err);
        }
    }
}

// A file written to after it was checked may have fed the extraction bytes
// that were never signed: its run command does not run.
TEST_F(Signed, ArchiveWrittenToDuringTheRunDoesNotRunItsCommand) {
    auto r = build_to(arc, {"-f", "cat > got; printf x >> app.run", "-r", "touch ran", "-K", key, "data.tar"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto run = testutil::run({testutil::kelpa_bin(), "-u", "-k", pub, arc}, in_dir());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(ends_with(run.err, arc + not_matching)) << run.err;
    EXPECT_NE(access((dir / "ran").c_str(), F_OK), 0);
}

// The signature goes over its filler once everything is written: only a
// regular file written from its start can take it, and nothing is written to
// anything else.
TEST_F(Signed, BuildRefusesOutputItCannotSignInPlace) {
    const std::string k = testutil::kelpa_bin();
    const std::string redirect =
        k + ": a signed archive is written to a file from its start: redirect standard output to a file (not a pipe, "
            "not >>)\n";
    // A pipe: run_kelpa captures standard output through one.
    auto piped = testutil::run_kelpa({"-K", key, "data.tar"}, in_dir());
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.err, redirect);
    EXPECT_EQ(piped.out, "");
    testutil::write_file(dir / "appended.run", "before\n");
    auto appended = build_to(dir / "appended.run", {"-K", key, "data.tar"}, O_WRONLY | O_APPEND);
    EXPECT_EQ(appended.status, 1);
    EXPECT_EQ(appended.err, redirect);
    EXPECT_EQ(read_file(dir / "appended.run"), "before\n");
    // The entry counts against the list's 1023 characters.
    std::vector<std::string> long_list;
    for (char c : std::string("ABCD")) long_list.insert(long_list.end(), {"-F", std::string(1, c) + "=" + std::string(238, 'v')});
    std::vector<std::string> args = long_list;
    args.insert(args.end(), {"-K", key, "data.tar"});
    auto too_long = build_to(dir / "long.run", args);
    EXPECT_EQ(too_long.status, 1);
    EXPECT_EQ(too_long.err, k + ": feature list is too long\n");
    EXPECT_EQ(read_file(dir / "long.run"), "");
    long_list.push_back("data.tar");
    EXPECT_EQ(build_to(dir / "long.run", long_list).status, 0) << "the same list fits unsigned";
    for (const std::string entry : {"KX_SIGNATURE=x", "KX_SIGNATURE"}) {
        auto given = build_to(dir / "given.run", {"-F", entry, "-K", key, "data.tar"});
        EXPECT_EQ(given.status, 1);
        EXPECT_EQ(given.err, k + ": KX_SIGNATURE is the signature's own entry: -F cannot give it\n");
        EXPECT_EQ(read_file(dir / "given.run"), "");
    }
}

// A file opened for writing without truncation (1<> in the shell) ends where
// the archive ends: old bytes after it would count as the archive's.
TEST_F(Signed, LongerFileOpenedWithoutTruncationIsCutToTheArchive) {
    testutil::write_file(arc, std::string(3 << 20, 'x'), 0755);
    auto r = build_to(arc, {"-K", key, "data.tar"}, O_WRONLY);
    ASSERT_EQ(r.status, 0) << r.err;
    auto x = testutil::run({testutil::kelpa_bin(), "-u", "-k", pub, "-x", arc}, in_dir());
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_TRUE(x.out == data);
}

TEST_F(Signed, EncryptedKeyWithoutTerminalIsRefused) {
    const std::string setsid = testutil::find_on_path("setsid");
    if (setsid.empty()) GTEST_SKIP() << "no setsid to start kelpa without a terminal";
    // A hand-made encrypted key: refused before any password is asked for.
    std::string sk = key_bytes(key);
    sk[2] = 'S';
    sk[3] = 'c';
    testutil::write_file(dir / "enc.key", key_file("minisign encrypted secret key", sk));
    int fd = open((dir / "enc.run").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    RunOptions o = in_dir();
    o.stdout_fd = fd;
    auto r = testutil::run({setsid, "-w", testutil::kelpa_bin(), "-K", dir / "enc.key", "data.tar"}, o);
    close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, testutil::kelpa_bin() + ": " + dir / "enc.key" +
                         ": the secret key is encrypted, and there is no terminal to ask for its password\n");
    EXPECT_EQ(read_file(dir / "enc.run"), "");
}

// minisign's own encrypted key: the password is read from the terminal, a
// wrong one is refused, the right one signs, and an interrupt at the prompt
// gives the terminal its echo back. Its key derivation takes 1 GiB and
// seconds of CPU, many more on a loaded machine: the waits are long.
TEST_F(Signed, EncryptedKeyTakesItsPasswordFromTheTerminal) {
    constexpr int patience = 600;
    auto made = testutil::run({minisign, "-G", "-p", dir / "enc.pub", "-s", dir / "enc.key"},
                              [&] {
                                  RunOptions o = in_dir();
                                  o.stdin_null = false;
                                  o.input = "s3cret\ns3cret\n";
                                  o.timeout_seconds = patience;
                                  return o;
                              }());
    ASSERT_EQ(made.status, 0) << made.err;
    for (const std::string password : {"typo-pass", "s3cret", "\x03"}) {
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (chdir(dir.path().c_str()) != 0) _exit(127);
            int out = open("enc.run", O_WRONLY | O_CREAT | O_TRUNC, 0755);
            dup2(out, 1);
            execl(testutil::kelpa_bin().c_str(), testutil::kelpa_bin().c_str(), "-K", "enc.key", "data.tar",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid, 0) << std::strerror(errno);
        // Typed once the prompt stands, as a person would: echo is off by then.
        std::string screen;
        while (screen.find("Password for enc.key: ") == std::string::npos) {
            struct pollfd p = {master, POLLIN, 0};
            char buf[256];
            ssize_t n = poll(&p, 1, patience * 1000) == 1 ? read(master, buf, sizeof buf) : -1;
            if (n <= 0) break;
            screen.append(buf, static_cast<std::size_t>(n));
        }
        const std::string typed = password == "\x03" ? password : password + "\n";
        ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        screen += kit::read_terminal(master, pid, patience * 1000);
        termios after{};
        tcgetattr(master, &after);
        close(master);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_NE(screen.find("Password for enc.key: "), std::string::npos) << screen;
        EXPECT_EQ(screen.find(password), std::string::npos) << "echoed: " << screen;
        if (password == "\x03") {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << screen;
            EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo stays off";
            EXPECT_EQ(read_file(dir / "enc.run"), "");
        } else if (password == "typo-pass") {
            EXPECT_EQ(WEXITSTATUS(status), 1);
            EXPECT_NE(screen.find("enc.key: wrong password, or the secret key is damaged"), std::string::npos) << screen;
            EXPECT_EQ(read_file(dir / "enc.run"), "");
        } else {
            EXPECT_EQ(WEXITSTATUS(status), 0) << screen;
            auto x = testutil::run({testutil::kelpa_bin(), "-u", "-k", dir / "enc.pub", "-x", dir / "enc.run"}, in_dir());
            EXPECT_EQ(x.status, 0) << x.err;
            EXPECT_TRUE(x.out == data);
        }
    }
}

TEST_F(Signed, SignedBuildsAreReproducibleAndCoverEveryPayloadKind) {
    const std::string second = testutil::datagen(90000, 22, 0.2);
    testutil::write_file(dir / "second", second);
    struct Kind {
        std::vector<std::string> args;
        std::string delivered; // by -x
    };
    for (const Kind &kind : {Kind{{"data.tar"}, data}, Kind{{"data.tar", "second"}, data + second},
                             Kind{{"-a", "data.tar", "second"}, data + second}}) {
        std::vector<std::string> args = {"-K", key};
        args.insert(args.end(), kind.args.begin(), kind.args.end());
        ASSERT_EQ(build_to(dir / "one.run", args).status, 0);
        ASSERT_EQ(build_to(dir / "two.run", args).status, 0);
        const std::string one = read_file(dir / "one.run");
        EXPECT_TRUE(one == read_file(dir / "two.run")) << kind.args[0];
        EXPECT_EQ(one.find(std::string(96, '.')), std::string::npos) << "the filler stayed";
        auto x = testutil::run({testutil::kelpa_bin(), "-u", "-k", pub, "-x", dir / "one.run"}, in_dir());
        EXPECT_EQ(x.status, 0) << x.err;
        EXPECT_TRUE(x.out == kind.delivered) << kind.args[0];
    }
}

TEST_F(Signed, ListingShowsTheSignerAndWithKeyChecksEachArchive) {
    build_signed({"-F", "A=1"});
    ASSERT_EQ(build_to(dir / "plain.run", {"-a", "data.tar"}).status, 0);
    const std::string id = key_id_text(key_bytes(pub).substr(2, 8));
    const std::string signed_listing = "Feature: A=1,NAME=data.tar\nSigned: key " + id +
                                       "\nComment: App\n    Run: touch ran\nExtract: touch started; cat > got\n";
    const std::string plain_listing = "Feature: NOCOMPR,NAME=data.tar\nComment: Self-Extracting archive file\n"
                                      "    Run: \nExtract: cat > %p/%o\nStatistics unavailable because data was not "
                                      "compressed\n";
    auto all = testutil::run_kelpa({"-l", arc, dir / "plain.run"}, in_dir());
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out.substr(0, signed_listing.size()), signed_listing);
    EXPECT_TRUE(ends_with(all.out, plain_listing)) << all.out;
    // Checked: the unsigned archive is refused in place of its listing, the
    // signed one is still listed, in order, and the status tells.
    auto checked = testutil::run_kelpa({"-l", "-k", pub, dir / "plain.run", arc}, in_dir());
    EXPECT_EQ(checked.status, 1);
    EXPECT_EQ(checked.err, dir / "plain.run" + ": the archive is not signed\n");
    EXPECT_EQ(checked.out, all.out.substr(0, all.out.size() - plain_listing.size()));
    // The archive lists itself the same way.
    auto own = testutil::run({arc, "-l", "-k", pub}, in_dir());
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(own.out, checked.out);
}

// An independent route to the same answer: Python's hashlib and the
// cryptography package check the archive with the filler put back.
TEST_F(Signed, SignatureChecksOutWithAnIndependentImplementation) {
    if (access("/usr/bin/python3", X_OK) != 0) {
        if (testutil::in_ci()) FAIL() << "/usr/bin/python3 is needed";
        GTEST_SKIP() << "no /usr/bin/python3";
    }
    build_signed({"-a"});
    const char *script = R"PY(
import base64, hashlib, sys
try:
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey
except ImportError:
    sys.exit(77)
archive, pub = bytearray(open(sys.argv[1], "rb").read()), open(sys.argv[2]).read().splitlines()[1]
key = base64.b64decode(pub)
features_at = archive.find(b"kel" + b"pa+magik") + 11
features = archive[features_at:archive.index(b"\0", features_at)]
signature_at = features_at + len(features) - 96
assert features[:-96].endswith(b",KX_SIGNATURE=")
signed = base64.b64decode(bytes(archive[signature_at:signature_at + 96]))
archive[signature_at:signature_at + 96] = b"." * 96
assert signed[:8] == key[2:10], "key id"
Ed25519PublicKey.from_public_bytes(key[10:42]).verify(signed[8:], hashlib.blake2b(bytes(archive)).digest())
print("verified")
)PY";
    auto r = testutil::run({"/usr/bin/python3", "-c", script, arc, pub}, in_dir());
    if (r.status == 77) {
        if (testutil::in_ci()) FAIL() << "python3-cryptography is needed";
        GTEST_SKIP() << "no python3-cryptography";
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "verified\n");
}

// A trailer string past 1023 characters, or one without its NUL, is never
// what a signed build wrote: refused under -k and never listed as signed,
// with the vendor's signature kept and with one made over the very bytes.
TEST_F(Signed, StringsPastTheirLengthOrWithoutTheirNulAreNeverSigned) {
    const std::string id = key_id_text(key_bytes(pub).substr(2, 8));
    struct Long {
        const char *name;
        std::vector<std::string> options;
        std::string text; // 1023 characters
    };
    const std::string run = "touch ran #";
    for (const Long &l : {Long{"comment", {"-C"}, std::string(1023, 'c')},
                          Long{"run command", {"-r"}, run + std::string(1023 - run.size(), 'r')}}) {
        std::vector<std::string> args = {"-f", "touch started; cat > got", l.options[0], l.text, "-K", key, "data.tar"};
        if (l.options[0] == "-C") args.insert(args.begin(), {"-r", "touch ran"});
        ASSERT_EQ(build_to(arc, args).status, 0) << l.name;
        auto whole = testutil::run_kelpa({"-l", "-k", pub, arc}, in_dir());
        EXPECT_EQ(whole.status, 0) << l.name << ": " << whole.err;
        EXPECT_NE(whole.out.find("Signed: key " + id + "\n"), std::string::npos) << l.name;

        std::string bytes = read_file(arc);
        // Signing again by hand gives the build's own bytes.
        std::string resigned = bytes;
        sign_bytes(resigned, key);
        EXPECT_TRUE(resigned == bytes) << l.name << ": the hand-made signature is not the build's";
        bytes.insert(bytes.find(l.text) + l.text.size(), "; touch evil");
        for (bool sign_again : {false, true}) {
            const std::string what = std::string(l.name) + (sign_again ? ", signed again" : ", the build's signature");
            std::string changed = bytes;
            if (sign_again) sign_bytes(changed, key);
            testutil::write_file(arc, changed, 0755);
            const std::string refusal = arc + ": a trailer string is longer than 1023 characters\n";
            expect_refused({"-l", "-k", pub, arc}, refusal, what + " -l");
            expect_refused({"-u", "-k", pub, arc}, refusal, what + " -u");
            const auto before = entries();
            auto own = testutil::run({arc, "-k", pub}, in_dir());
            EXPECT_EQ(own.status, 1) << what;
            EXPECT_EQ(own.err, refusal) << what;
            EXPECT_EQ(entries(), before) << what;
            auto listed = testutil::run_kelpa({"-l", arc}, in_dir());
            EXPECT_EQ(listed.out.find("Signed:"), std::string::npos) << what << ": " << listed.out;
        }
    }

    // An empty raw payload: the extract command's NUL is the file's last byte.
    std::string empty = kit::preamble({"NOCOMPR,NAME=empty,KX_SIGNATURE=" + std::string(96, '.'), "App", "touch ran",
                                       "touch started"});
    sign_bytes(empty, key);
    testutil::write_file(arc, empty, 0755);
    auto whole = testutil::run_kelpa({"-l", "-k", pub, arc}, in_dir());
    EXPECT_EQ(whole.status, 0) << whole.err;
    EXPECT_NE(whole.out.find("Signed: key " + id + "\n"), std::string::npos) << whole.out;
    empty.pop_back();
    for (bool sign_again : {false, true}) {
        const std::string what = sign_again ? "no NUL, signed again" : "no NUL, the signature kept";
        std::string changed = empty;
        if (sign_again) sign_bytes(changed, key);
        testutil::write_file(arc, changed, 0755);
        expect_refused({"-l", "-k", pub, arc}, arc + not_matching, what + " -l");
        expect_refused({"-u", "-k", pub, arc}, arc + not_matching, what + " -u");
        const auto before = entries();
        auto own = testutil::run({arc, "-k", pub}, in_dir());
        EXPECT_EQ(own.status, 1) << what;
        EXPECT_EQ(own.err, arc + not_matching) << what;
        EXPECT_EQ(entries(), before) << what;
        auto listed = testutil::run_kelpa({"-l", arc}, in_dir());
        EXPECT_EQ(listed.out.find("Signed:"), std::string::npos) << what << ": " << listed.out;
    }
}

} // namespace
