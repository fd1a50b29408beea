// Golden members: the exact bytes the encoder writes for a fixed set of
// generated inputs, pinned as SHA-256 digests, so that no change (an
// optimisation above all) can move a single output byte unnoticed.
//
// How the digests were reviewed before they were pinned:
// - every member decodes with zlib and with kelpa's own reader to its input,
//   with the CRC-32 and the cumulative length field checked on every run;
// - the DEFLATE data of every member up to 200 KiB is also read back by the
//   tests' own block reader (encoder_check.h), which checks that no
//   code-length run crosses from the literal into the distance lengths, and
//   that every match stays within 32506 back and 258 long; block types and
//   item counts were inspected for the boundary sizes (stored blocks for the
//   random inputs while their input is in the window, blocks of at most
//   32767 items, slides at 65274);
// - the concrete cases of the format (empty member, short inputs, a run of
//   1000 bytes, the distance and length boundaries) are checked item by item
//   in deflate_test.cpp, trees_test.cpp and zip_test.cpp;
// - the digests are identical in the 64-bit and the 32-bit x86 builds.
// The inputs use compressibility values that are exact in binary, so the
// generator gives the same bytes with x87 and SSE arithmetic. The sparse
// input makes about every second search end on the chain budget (4096
// candidates, 1024 after a match of 32 or more) rather than on distance or
// length; its digest was pinned from the encoder as it was before the chain
// walk read several links per step.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "codec/deflate.h"
#include "common/member_harness.h"
#include "common/testutil.h"
#include "encoder_check.h"

using namespace encoder_check;

namespace {

enum class Kind { text, random, runs, mixed, sparse };

// Runs of one byte, 1 to 300 long, separated by short literal stretches.
std::string runs(std::size_t size, std::uint32_t seed) {
    std::uint32_t s = seed * 2654435761u + 12345;
    auto next = [&s] { return s = s * 1103515245u + 12345u, s >> 8; };
    std::string out;
    while (out.size() < size) {
        // Two statements: the order of evaluation of arguments is unspecified.
        std::size_t len = 1 + next() % 300;
        out.append(len, static_cast<char>(next() & 0xff));
        for (std::uint32_t i = next() % 4; i > 0; i--) out.push_back(static_cast<char>(next() & 0xff));
    }
    out.resize(size);
    return out;
}

// Zero bytes with a one in about every tenth place: every hash chain holds
// thousands of positions, and no match comes near 258 bytes.
std::string sparse(std::size_t size, std::uint32_t seed) {
    std::uint32_t s = seed * 2654435761u + 12345;
    std::string out(size, '\0');
    for (char &c : out) {
        s = s * 1103515245u + 12345u;
        if ((s >> 16) % 10 == 0) c = 1;
    }
    return out;
}

std::string make(Kind kind, std::size_t size, std::uint32_t seed) {
    switch (kind) {
    case Kind::text: return testutil::datagen(size, seed, 1.0);
    case Kind::random: return testutil::datagen(size, seed, 0.0);
    case Kind::runs: return runs(size, seed);
    case Kind::sparse: return sparse(size, seed);
    case Kind::mixed: {
        // 24 KiB stretches of differing character, so blocks end early and
        // change type.
        std::string out;
        for (std::uint32_t part = 0; out.size() < size; part++) {
            std::size_t n = std::min<std::size_t>(24576, size - out.size());
            const Kind kinds[] = {Kind::text, Kind::random, Kind::runs};
            out += part % 4 == 3 ? testutil::datagen(n, seed + part, 0.75) : make(kinds[part % 3], n, seed + part);
        }
        return out;
    }
    }
    return {};
}

const char *kind_name(Kind k) {
    switch (k) {
    case Kind::text: return "text";
    case Kind::random: return "random";
    case Kind::runs: return "runs";
    case Kind::mixed: return "mixed";
    case Kind::sparse: return "sparse";
    }
    return "?";
}

struct Input {
    Kind kind;
    std::size_t size;
};

struct Golden {
    std::vector<Input> inputs; // one build: one member per input, in order
    const char *digest;        // SHA-256 of all members
};

const Golden goldens[] = {
    {{{Kind::text, 0}},
     "66d31e2f2c5dabcae5521ee92e3539445a4b8836bb00bb71ac7cc8f59e498289"},
    {{{Kind::text, 1}},
     "c07848751a5c07a4d2728316be61497e94a2f0c3200003a0b4b6104c8390e764"},
    {{{Kind::text, 2}},
     "529599b151cbe88f547fdd558948111129f90f415c83544950b4db0150b154aa"},
    {{{Kind::text, 3}},
     "d1926552ab65c26e3f3c43c20a7eda575c1cf54a9c778f8fb86626cbf28a2771"},
    {{{Kind::text, 258}},
     "72e84d5ecb84c4b80920cd58f2fab9b84ef9590b3c33e5bd8ec7a0521a8e3289"},
    {{{Kind::text, 32767}},
     "9bb62dca3776ab87a23d6dee1487a933515d41aaea3546e69e0d022b59ccd559"},
    {{{Kind::text, 32768}},
     "4946211d19003457d24c6f87c459876bf5efb7c4d498b94f11b32fa54bcb48ea"},
    {{{Kind::text, 65274}},
     "9e0e5efe9de74cf3b1e0c999c8786dec64de78ff6e01c251a23a84a198a7587e"},
    {{{Kind::text, 65536}},
     "57ff076cf21807fea98a9e0a8f9b50a85dc34a53d5229a6d0def592fcfc083aa"},
    {{{Kind::text, 204800}},
     "98b748b69e020e8309d5fa81aacba4dc7a10d475968404a3762364e9f427875f"},
    {{{Kind::text, 2097152}},
     "da1d0c63dc4bfcf4c2ad15c35af0955e6797ecd3160e20607e37537991ac1480"},
    {{{Kind::random, 1}},
     "da5772323a558c76406c5f6486d225cb7a4d1d9e3c70401daac24dbd0953ea61"},
    {{{Kind::random, 3}},
     "63038aa2aa99abded6fd259534567625ea39255830c495e7376c6642beea7659"},
    {{{Kind::random, 258}},
     "679a214a35406b3a22bd803ac575daf2cf2dca237812fc2a7e83025dcc25e1a9"},
    {{{Kind::random, 32767}},
     "5bfcee3bd5b72c8fd1a0dfef909686ec7fa60f68a8d604ea37013485e48db069"},
    {{{Kind::random, 32768}},
     "6d8f05997478fd9b87be13b24f58ad4dd6efc67b13f48f129afe59a1cd16ae6b"},
    {{{Kind::random, 65274}},
     "f71eebd2731855995ef64047dd46800bdcf303162f8c9a77784fe187647c2f03"},
    {{{Kind::random, 65536}},
     "8201f29f645d9c1aa19975fe85fe360914cbc0be59f048956d6c490a2f766292"},
    {{{Kind::random, 204800}},
     "8c91beb4ce4f31531793b3c897aeac8fde47663bce71d9cc05ad96d3700a672b"},
    {{{Kind::random, 2097152}},
     "f8e807f1e63dd581834c6ba3fe81652d2ed941f18df02554de814b3bc1ad413a"},
    {{{Kind::runs, 2}},
     "73f1e76998c8eb14aa2a61fd7b10f43fd45608f7405da76447752b8ab4e91298"},
    {{{Kind::runs, 258}},
     "001b09ca1531806a74d35b80bb193449f2ad4b34594d488235c4932a0f6038da"},
    {{{Kind::runs, 32767}},
     "c495eadaa6f8f49277c774600683728dd810d775f1d86ccaaf72ff520edeacb5"},
    {{{Kind::runs, 32768}},
     "4af396d743963ecf06f0dd6bf8a628f7be9faea17e2d6380fb181b925bff5a9a"},
    {{{Kind::runs, 65274}},
     "0c5290e31b78a2e39d8f9996dc13f3feccea62cab91de4614e5470aeb5facc22"},
    {{{Kind::runs, 65536}},
     "cea28ffdf9e376a1997e5aa67b0a5e0d295a368be4579d783c15f522097e7f7d"},
    {{{Kind::runs, 204800}},
     "2458892423462b1e372b5bd71d8aaf0063347b7f3fb41fe9efaeed812768a5b7"},
    {{{Kind::mixed, 32768}},
     "5d76e1910e9c72019adc81f210183885b91199abac613f27212f5623162ef076"},
    {{{Kind::mixed, 65536}},
     "244c563638063be05e86e66ac2f4ca69b8ab415f18816bde827438852ea39a97"},
    {{{Kind::mixed, 204800}},
     "0a309b41096bdd86db98e4bff06042fe646615e61f0e22121cc8fdd21b41738b"},
    {{{Kind::mixed, 2097152}},
     "682466561fc16adb7df99e4950ecfb2088152cc558290d1d2fad1d6c17f1238d"},
    {{{Kind::sparse, 204800}},
     "f05f89b85ffff65a292a9f86f4af62a7d2e3903d099a020a1ac9b9d04382ed89"},
    {{{Kind::text, 100000}, {Kind::random, 40000}, {Kind::runs, 70000}},
     "173d1c2d66c3bb8f316e0b7b017b5ba6d3b5840e71ee1ec2b469574ab6067c0d"},
    {{{Kind::mixed, 65536}, {Kind::text, 0}, {Kind::text, 3}},
     "0807d5895fd0a70dcb8417ff288d5a11963dbe57a31d590cf8907a6b846eb156"},
    {{{Kind::random, 65274}, {Kind::text, 65274}},
     "8743dad6384b8f76c0332b0286097c0c2eb7285189c76c9f161899214a0efb7d"},
};

void PrintTo(const std::tuple<Golden, int> &p, std::ostream *os) {
    const Golden &g = std::get<0>(p);
    *os << std::get<1>(p) << " threads: ";
    for (const Input &in : g.inputs) *os << kind_name(in.kind) << ":" << in.size << " ";
}

// The same digests at several thread counts, with jobs small enough that
// the inputs of 200 KiB and more are cut into many.
class GoldenMembers : public ::testing::TestWithParam<std::tuple<Golden, int>> {
protected:
    void SetUp() override {
        testutil::reset_codec_state();
        codec::zip_threads = std::get<1>(GetParam());
        codec::zip_chunk = 50000;
    }
};

TEST_P(GoldenMembers, AreByteForByteThePinnedOutput) {
    const Golden &g = std::get<0>(GetParam());
    std::string all, description;
    std::vector<std::string> datas;
    std::uint32_t seed = 1;
    for (const Input &in : g.inputs) {
        datas.push_back(make(in.kind, in.size, seed++));
        description += std::string(kind_name(in.kind)) + ":" + std::to_string(in.size) + " ";
        all += zip_member(datas.back(), "golden." + std::to_string(datas.size()));
    }
    std::vector<Member> ms;
    ASSERT_TRUE(split_members(all, ms));
    ASSERT_EQ(ms.size(), datas.size());
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < ms.size(); i++) {
        total += std::uint32_t(datas[i].size());
        ASSERT_EQ(ms[i].data, datas[i]) << "member " << i;
        EXPECT_EQ(ms[i].crc, testutil::zlib_crc32(datas[i])) << "member " << i;
        EXPECT_EQ(ms[i].isize, total) << "member " << i;
        // kelpa's own reader, on the member as it would be alone in an archive.
        testutil::MemberRun run = testutil::run_member(testutil::gzip_wrap(ms[i].deflate, datas[i]));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.out == datas[i]) << "member " << i << " as decoded by kelpa";
        if (datas[i].size() > 200 * 1024) continue;
        Decoded d = decode_deflate(ms[i].deflate);
        ASSERT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.bytes, ms[i].deflate.size());
        for (const Block &b : d.blocks) {
            EXPECT_LE(b.items.size(), 32767u);
            for (const Item &it : b.items) {
                if (!it.match) continue;
                EXPECT_LE(it.dist, 32506);
                EXPECT_LE(it.len, 258);
            }
        }
    }
    EXPECT_EQ(testutil::sha256_hex(all), g.digest) << description;
}

std::string golden_name(const ::testing::TestParamInfo<std::tuple<Golden, int>> &info) {
    std::string name;
    for (const Input &in : std::get<0>(info.param).inputs) name += std::string(kind_name(in.kind)) + std::to_string(in.size) + "_";
    return name + std::to_string(std::get<1>(info.param)) + "threads";
}

INSTANTIATE_TEST_SUITE_P(Builds, GoldenMembers, ::testing::Combine(::testing::ValuesIn(goldens), ::testing::Values(1, 2, 5)),
                         golden_name);

} // namespace
