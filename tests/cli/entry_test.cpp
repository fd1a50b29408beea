// The real kelpa binary: usage texts of both modes, argument limits, and the
// properties of the executable itself (no marker, statically linked).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <ostream>
#include <string>
#include <vector>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::run_kelpa;
using testutil::TempDir;

namespace {

const std::string version_line = "Version: @(#) kelpa 1.2.1    6/6/2001 \n";
const std::string archive_options =
    "    -h: show this help\n"
    "    -u: use as utility to decompress archive specified on command-line\n"
    "    -l: list compression statistics\n"
    "    -c: extract to stdout instead of archive name\n"
    "    -x: extract only. do not deflate the archive\n"
    "    -n: do not run install command after deflating archive\n"
    "    -t: temp path for decompression if archive allows\n"
    "    -v: verbose output\n"
    "    -k: run only if signed with this public key\n"
    "    -q: quiet: show nothing but errors\n"
    "    -T: check the archive only, extract and run nothing\n";

std::string build_usage(const std::string &prog) {
    return "Usage: " + prog +
           " [-huclvaqT] [-p kelpa_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
           "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] [-F feature_sting] [-K secret_key] "
           "<files...>\n";
}

std::string hand_archive(const TempDir &dir, const std::string &comment) {
    return kit::make_archive(dir / "archive", {"NOCOMPR,NAME=p", comment, "", ""}, "payload");
}

template <class Ehdr, class Phdr> bool has_program_header(const std::string &elf, unsigned type) {
    Ehdr eh;
    std::memcpy(&eh, elf.data(), sizeof eh);
    for (unsigned i = 0; i < eh.e_phnum; i++) {
        Phdr ph;
        std::memcpy(&ph, elf.data() + eh.e_phoff + i * eh.e_phentsize, sizeof ph);
        if (ph.p_type == type) return true;
    }
    return false;
}

} // namespace

// The 365 bytes of the eight lines before -k, the -k line, then -q and -T.
TEST(Entry, ArchiveOptionTextIs508Bytes) { EXPECT_EQ(archive_options.size(), 508u); }

TEST(Entry, BareBuilderWithoutFilesAsksForThem) {
    auto r = run_kelpa({});
    std::string bin = testutil::kelpa_bin();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, version_line + build_usage(bin) + bin + ": what files do you want to compress?\n");
}

TEST(Entry, HelpAndUnknownOptionsPrintTheBuildUsage) {
    std::string bin = testutil::kelpa_bin();
    for (const char *opt : {"-h", "-?"}) {
        auto r = run_kelpa({opt, "file"});
        EXPECT_EQ(r.status, 1) << opt;
        EXPECT_EQ(r.err, version_line + build_usage(bin)) << opt;
    }
    auto r = run_kelpa({"-Z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, bin + ": invalid option -- 'Z'\n" + version_line + build_usage(bin));
    r = run_kelpa({"-C"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, bin + ": option requires an argument -- 'C'\n" + version_line + build_usage(bin));
}

TEST(Entry, ArchiveHelpShowsItsCommentAndTheShortUsage) {
    TempDir dir;
    std::string archive = hand_archive(dir, "Demo installer");
    auto r = testutil::run({archive, "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, version_line + "\nDemo installer\n\nUsage: " + archive + " [-hclnvtxqT] [-k public_key]\n" + archive_options);
}

TEST(Entry, UtilityModeHelpUsesTheArchiveUsage) {
    auto r = run_kelpa({"-u", "-C", "a comment", "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, version_line + "\na comment\n\nUsage: " + testutil::kelpa_bin() + " [-hclnvtxqT] [-k public_key]\n" +
                         archive_options);
}

TEST(Entry, UtilityModeWithoutAnArchiveNameAsksForOne) {
    std::string bin = testutil::kelpa_bin();
    auto r = run_kelpa({"-u"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, version_line + "\nSelf-Extracting archive file\n\nUsage: " + bin + " [-hclnvtxqT] [-k public_key]\n" +
                         archive_options + bin + ": which archive do you want to use?\n");
}

// --help is -h on standard output with status 0; --version the version line
// alone; -h keeps its stream and status (above).
TEST(Entry, LongHelpAndVersionWriteToStandardOutputWithStatusZero) {
    TempDir dir;
    const std::string bin = testutil::kelpa_bin();
    const std::string archive = hand_archive(dir, "Demo installer");
    const std::string archive_help = version_line + "\nDemo installer\n\nUsage: " + archive +
                                     " [-hclnvtxqT] [-k public_key]\n" + archive_options;
    struct Case {
        std::vector<std::string> argv;
        std::string out;
    };
    for (const Case &c : {Case{{bin, "--help"}, version_line + build_usage(bin)},
                          Case{{bin, "--version"}, version_line},
                          Case{{bin, "--version", "file"}, version_line},
                          Case{{archive, "--help"}, archive_help},
                          Case{{archive, "--version"}, version_line},
                          Case{{bin, "-u", "-C", "Demo installer", "--help"},
                               version_line + "\nDemo installer\n\nUsage: " + bin + " [-hclnvtxqT] [-k public_key]\n" +
                                   archive_options}}) {
        auto r = testutil::run(c.argv);
        EXPECT_EQ(r.status, 0) << c.argv.back();
        EXPECT_EQ(r.out, c.out) << c.argv.back();
        EXPECT_EQ(r.err, "") << c.argv.back();
    }
    // Nothing else of the archive happens.
    EXPECT_EQ(testutil::run({archive, "--help"}).err.find("Please wait"), std::string::npos);
}

TEST(Entry, OtherLongNamesAreRefusedLikeUnknownOptions) {
    TempDir dir;
    const std::string bin = testutil::kelpa_bin();
    auto r = run_kelpa({"--frobnicate", "file"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, bin + ": unrecognized option '--frobnicate'\n" + version_line + build_usage(bin));
    const std::string archive = hand_archive(dir, "c");
    auto a = testutil::run({archive, "--target=/opt"});
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.err, archive + ": unrecognized option '--target=/opt'\n" + version_line + "\nc\n\nUsage: " + archive +
                         " [-hclnvtxqT] [-k public_key]\n" + archive_options);
}

struct LimitCase {
    std::vector<std::string> args; // before the file name
    bool accepted;
    std::string message; // after "<bin>: ", when refused
    friend void PrintTo(const LimitCase &c, std::ostream *os) {
        for (const auto &a : c.args) *os << (a.size() > 20 ? a.substr(0, 8) + "...(" + std::to_string(a.size()) + ")" : a) << ' ';
    }
};

class ArgumentLimits : public ::testing::TestWithParam<LimitCase> {};

// Accepted arguments reach the build, which here has a missing stub (-p) so
// that nothing is written; refused ones stop before that with status 1.
TEST_P(ArgumentLimits, AcceptAtTheLimitRefuseBeyond) {
    std::string bin = testutil::kelpa_bin();
    std::vector<std::string> args = GetParam().args;
    args.push_back("/nonexistent/input");
    auto r = run_kelpa(args);
    EXPECT_EQ(r.out, "");
    if (GetParam().accepted) {
        EXPECT_EQ(r.err.find("too long"), std::string::npos) << r.err;
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, bin + ": " + GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArgumentLimits,
    ::testing::Values(
        LimitCase{{"-p", "/nonexistent/" + std::string(1010, 'p')}, true, ""},
        LimitCase{{"-p", "/nonexistent/" + std::string(1011, 'p')}, false, "argument of -p is too long\n"},
        LimitCase{{"-p", "/nonexistent", "-C", std::string(1023, 'c')}, true, ""},
        LimitCase{{"-p", "/nonexistent", "-C", std::string(1024, 'c')}, false, "argument of -C is too long\n"},
        LimitCase{{"-p", "/nonexistent", "-r", std::string(1023, 'r')}, true, ""},
        LimitCase{{"-p", "/nonexistent", "-r", std::string(1024, 'r')}, false, "argument of -r is too long\n"},
        LimitCase{{"-p", "/nonexistent", "-f", std::string(1023, 'f')}, true, ""},
        LimitCase{{"-p", "/nonexistent", "-f", std::string(1024, 'f')}, false, "argument of -f is too long\n"},
        LimitCase{{"-p", "/nonexistent", "-u", "-t", std::string(1023, 't')}, true, ""},
        LimitCase{{"-p", "/nonexistent", "-u", "-t", std::string(1024, 't')}, false,
                  "argument of -t is too long\n"},
        LimitCase{{"-p", "/nonexistent", "-F", std::string(255, 'F')}, true, ""},
        LimitCase{{"-p", "/nonexistent", "-F", std::string(256, 'F')}, false, "argument of -F is too long\n"},
        // A VFYFS value passing 127 characters could never pass the space check.
        LimitCase{{"-p", "/nonexistent", "-V", std::string(127, 'V'), "-S", "kx"}, true, ""},
        LimitCase{{"-p", "/nonexistent", "-V", std::string(128, 'V')}, false,
                  std::string(128, 'V') + ": name too long for the space check\n"},
        LimitCase{{"-p", "/nonexistent", "-S", std::string(249, 'S')}, true, ""},
        LimitCase{{"-p", "/nonexistent", "-S", std::string(250, 'S')}, false, "argument of -S is too long\n"},
        LimitCase{{"-p", "/nonexistent", "-O", std::string(245, 'O')}, true, ""},
        LimitCase{{"-p", "/nonexistent", "-O", std::string(246, 'O')}, false, "argument of -O is too long\n"},
        LimitCase{{"-p", "/nonexistent", "-F", std::string(255, 'a'), "-F", std::string(255, 'b'), "-F",
                   std::string(255, 'c'), "-F", std::string(255, 'd'), "-F", "e"},
                  false, "feature list is too long\n"},
        // The build appends ",NAME=input" (11 characters): the list must leave room for it.
        LimitCase{{"-p", "/nonexistent", "-F", std::string(255, 'a'), "-F", std::string(255, 'b'), "-F",
                   std::string(255, 'c'), "-F", std::string(244, 'd')},
                  true, ""},
        LimitCase{{"-p", "/nonexistent", "-F", std::string(255, 'a'), "-F", std::string(255, 'b'), "-F",
                   std::string(255, 'c'), "-F", std::string(245, 'd')},
                  false, "feature list is too long\n"}),
    [](const ::testing::TestParamInfo<LimitCase> &info) { return "case" + std::to_string(info.index); });

// The executable must never hold the marker, or every copy of it would be taken
// for an archive with a trailer of garbage.
TEST(Executable, NeverHoldsTheMarker) {
    std::string bytes = testutil::read_file(testutil::kelpa_bin());
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.find(kit::marker()), std::string::npos);
}

// An archive carries kelpa as its stub and must run on any x86 Linux.
TEST(Executable, IsStaticallyLinkedByDefault) {
    if (!KELPA_IS_STATIC)
        GTEST_SKIP() << "this build links kelpa dynamically (sanitizers or KELPA_STATIC=OFF)";
    std::string bytes = testutil::read_file(testutil::kelpa_bin());
    ASSERT_GE(bytes.size(), sizeof(Elf32_Ehdr));
    ASSERT_EQ(bytes.compare(0, 4, ELFMAG), 0);
    auto has_segment = [&](unsigned type) {
        return bytes[EI_CLASS] == ELFCLASS64 ? has_program_header<Elf64_Ehdr, Elf64_Phdr>(bytes, type)
                                             : has_program_header<Elf32_Ehdr, Elf32_Phdr>(bytes, type);
    };
    EXPECT_FALSE(has_segment(PT_INTERP)) << "kelpa asks for a dynamic loader";
    EXPECT_FALSE(has_segment(PT_DYNAMIC)) << "kelpa has dynamic sections";
}

// Every archive carries the whole stub: signatures, threads, the decoder's
// second instance for newer processors and the run's signal handling may not
// make each download much larger. The file grows in steps of a page (the
// read-only data ends on one), so the limit leaves a page or so of room.
TEST(Executable, StrippedStaticStubStaysWithinItsSize) {
    if (!KELPA_IS_STATIC || !KELPA_IS_STRIPPED || sizeof(void *) != 8)
        GTEST_SKIP() << "the limit is for the stripped static 64-bit build";
    EXPECT_LE(testutil::read_file(testutil::kelpa_bin()).size(), 1318912u); // 1.25 MiB and two pages
}
