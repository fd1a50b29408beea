// Test-side views of what the encoder wrote: the gzip members split and
// decoded by zlib (raw inflate, so the cumulative length field is checked here
// rather than rejected by zlib), and a small DEFLATE reader of the tests' own
// that lists each block's type, code-length codes and literal/match items, so
// tests can assert on the encoder's decisions rather than only on round trips.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "codec/codec.h"
#include "common/testutil.h"

namespace encoder_check {

struct Member {
    std::string header;   // the fixed ten bytes, the name and its NUL
    std::string name;     // stored name
    std::string deflate;  // the DEFLATE stream, exactly
    std::string data;     // decoded by zlib
    std::uint32_t crc = 0;
    std::uint32_t isize = 0;
};

inline std::uint32_t le32(const std::string &s, std::size_t at) {
    return std::uint32_t(std::uint8_t(s[at])) | std::uint32_t(std::uint8_t(s[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(s[at + 2])) << 16 | std::uint32_t(std::uint8_t(s[at + 3])) << 24;
}

// Splits back-to-back members with FNAME; false (with a failure added) when
// one is malformed or zlib rejects its data.
inline bool split_members(const std::string &gz, std::vector<Member> &members) {
    members.clear();
    std::size_t pos = 0;
    while (pos < gz.size()) {
        Member m;
        if (gz.size() - pos < 10 || gz.compare(pos, 4, "\x1f\x8b\x08\x08", 4) != 0) {
            ADD_FAILURE() << "no member header at " << pos;
            return false;
        }
        std::size_t nul = gz.find('\0', pos + 10);
        if (nul == std::string::npos) {
            ADD_FAILURE() << "unterminated name at " << pos;
            return false;
        }
        m.header = gz.substr(pos, nul + 1 - pos);
        m.name = gz.substr(pos + 10, nul - pos - 10);
        std::size_t start = nul + 1;

        z_stream z{};
        inflateInit2(&z, -15);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(gz.data() + start));
        z.avail_in = static_cast<uInt>(gz.size() - start);
        char buf[65536];
        int rc;
        do {
            z.next_out = reinterpret_cast<Bytef *>(buf);
            z.avail_out = sizeof buf;
            rc = inflate(&z, Z_NO_FLUSH);
            m.data.append(buf, sizeof buf - z.avail_out);
        } while (rc == Z_OK);
        std::size_t used = z.total_in;
        inflateEnd(&z);
        if (rc != Z_STREAM_END) {
            ADD_FAILURE() << "zlib rejects the DEFLATE data of the member at " << pos << " (" << rc << ")";
            return false;
        }
        m.deflate = gz.substr(start, used);
        if (gz.size() - start - used < 8) {
            ADD_FAILURE() << "member trailer cut at " << pos;
            return false;
        }
        m.crc = le32(gz, start + used);
        m.isize = le32(gz, start + used + 4);
        pos = start + used + 8;
        members.push_back(std::move(m));
    }
    return true;
}

struct Item {
    bool match = false;
    int lit = 0;  // literal byte
    int len = 0;  // match length
    int dist = 0; // match distance
    bool operator==(const Item &o) const {
        return match == o.match && (match ? len == o.len && dist == o.dist : lit == o.lit);
    }
};
inline Item L(int c) { return Item{false, c, 0, 0}; }
inline Item M(int len, int dist) { return Item{true, 0, len, dist}; }
inline std::ostream &operator<<(std::ostream &os, const Item &i) {
    if (i.match) return os << "M(" << i.len << "," << i.dist << ")";
    return os << "L(" << i.lit << ")";
}

struct Block {
    int type = -1;       // 0 stored, 1 fixed, 2 dynamic
    bool final = false;
    std::size_t stored_len = 0;
    int hlit = 0, hdist = 0, hclen = 0;
    // Code-length codes as sent: symbol and extra value, the literal/length
    // sequence first, then the distance sequence.
    std::vector<std::pair<int, int>> lit_lengths_coded, dist_lengths_coded;
    std::vector<int> lit_lengths, dist_lengths;
    std::vector<Item> items;
};

struct Decoded {
    bool ok = false;
    std::string error;
    std::vector<Block> blocks;
    std::string out;
    std::size_t bytes = 0;   // bytes of input used
    std::size_t pad_bits = 0; // value of the unused bits of the last byte
};

class BitReader {
public:
    explicit BitReader(const std::string &s) : s_(s) {}
    bool bits(int n, unsigned &v) {
        v = 0;
        for (int i = 0; i < n; i++) {
            if (pos_ >= s_.size() * 8) return false;
            v |= unsigned((std::uint8_t(s_[pos_ / 8]) >> (pos_ % 8)) & 1) << i;
            pos_++;
        }
        return true;
    }
    void align() { pos_ = (pos_ + 7) / 8 * 8; }
    std::size_t pos() const { return pos_; }

private:
    const std::string &s_;
    std::size_t pos_ = 0;
};

// Canonical Huffman decoding, one bit at a time (RFC 1951 section 3.2.2).
struct Huffman {
    std::vector<int> count, symbol;
    explicit Huffman(const std::vector<int> &lengths) : count(16, 0) {
        for (int l : lengths) count[l]++;
        count[0] = 0;
        std::vector<int> offs(16, 0);
        for (int i = 1; i < 16; i++) offs[i] = offs[i - 1] + count[i - 1];
        symbol.assign(lengths.size(), 0);
        for (std::size_t s = 0; s < lengths.size(); s++)
            if (lengths[s] != 0) symbol[offs[lengths[s]]++] = int(s);
    }
    bool decode(BitReader &br, int &sym) const {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len < 16; len++) {
            unsigned b;
            if (!br.bits(1, b)) return false;
            code |= int(b);
            int c = count[len];
            if (code - c < first) {
                sym = symbol[std::size_t(index + (code - first))];
                return true;
            }
            index += c;
            first = (first + c) << 1;
            code <<= 1;
        }
        return false;
    }
};

inline Decoded decode_deflate(const std::string &data) {
    static const int lbase[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const int lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const int dbase[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129,
                                  193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const int dext[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

    Decoded d;
    BitReader br(data);
    auto fail = [&d](const std::string &why) {
        d.error = why;
        return d;
    };
    for (;;) {
        Block b;
        unsigned v;
        if (!br.bits(3, v)) return fail("cut block header");
        b.final = v & 1;
        b.type = int(v >> 1);
        if (b.type == 0) {
            br.align();
            unsigned len, nlen;
            if (!br.bits(16, len) || !br.bits(16, nlen)) return fail("cut stored header");
            if ((len ^ 0xffff) != nlen) return fail("stored LEN/NLEN mismatch");
            b.stored_len = len;
            for (unsigned i = 0; i < len; i++) {
                unsigned c;
                if (!br.bits(8, c)) return fail("cut stored block");
                d.out.push_back(char(c));
            }
        } else if (b.type == 1 || b.type == 2) {
            std::vector<int> ll(288, 0), dl(30, 5);
            if (b.type == 1) {
                for (int i = 0; i < 144; i++) ll[i] = 8;
                for (int i = 144; i < 256; i++) ll[i] = 9;
                for (int i = 256; i < 280; i++) ll[i] = 7;
                for (int i = 280; i < 288; i++) ll[i] = 8;
            } else {
                unsigned hlit, hdist, hclen;
                if (!br.bits(5, hlit) || !br.bits(5, hdist) || !br.bits(4, hclen)) return fail("cut dynamic header");
                b.hlit = int(hlit) + 257;
                b.hdist = int(hdist) + 1;
                b.hclen = int(hclen) + 4;
                std::vector<int> cl(19, 0);
                for (int i = 0; i < b.hclen; i++) {
                    if (!br.bits(3, v)) return fail("cut code-length lengths");
                    cl[std::size_t(order[i])] = int(v);
                }
                Huffman clh(cl);
                // The two sequences are read separately: a run may not cross.
                for (int part = 0; part < 2; part++) {
                    int want = part == 0 ? b.hlit : b.hdist;
                    auto &lens = part == 0 ? b.lit_lengths : b.dist_lengths;
                    auto &coded = part == 0 ? b.lit_lengths_coded : b.dist_lengths_coded;
                    while (int(lens.size()) < want) {
                        int sym;
                        if (!clh.decode(br, sym)) return fail("bad code-length code");
                        int extra = 0, rep = 1, val = sym;
                        if (sym == 16) {
                            if (lens.empty()) return fail("repeat with nothing before");
                            br.bits(2, v), extra = int(v), rep = 3 + extra, val = lens.back();
                        } else if (sym == 17) {
                            br.bits(3, v), extra = int(v), rep = 3 + extra, val = 0;
                        } else if (sym == 18) {
                            br.bits(7, v), extra = int(v), rep = 11 + extra, val = 0;
                        }
                        coded.emplace_back(sym, extra);
                        if (int(lens.size()) + rep > want) return fail("code-length run crosses its sequence");
                        lens.insert(lens.end(), std::size_t(rep), val);
                    }
                }
                ll.assign(b.lit_lengths.begin(), b.lit_lengths.end());
                dl.assign(b.dist_lengths.begin(), b.dist_lengths.end());
            }
            Huffman lh(ll), dh(dl);
            for (;;) {
                int sym;
                if (!lh.decode(br, sym)) return fail("bad literal/length code");
                if (sym < 256) {
                    b.items.push_back(L(sym));
                    d.out.push_back(char(sym));
                    continue;
                }
                if (sym == 256) break;
                sym -= 257;
                if (sym >= 29) return fail("bad length symbol");
                unsigned e = 0;
                br.bits(lext[sym], e);
                int len = lbase[sym] + int(e);
                int ds;
                if (!dh.decode(br, ds) || ds >= 30) return fail("bad distance code");
                br.bits(dext[ds], e);
                int dist = dbase[ds] + int(e);
                if (std::size_t(dist) > d.out.size()) return fail("distance before the start");
                b.items.push_back(M(len, dist));
                for (int i = 0; i < len; i++) d.out.push_back(d.out[d.out.size() - std::size_t(dist)]);
            }
        } else {
            return fail("block type 3");
        }
        bool last = b.final;
        d.blocks.push_back(std::move(b));
        if (last) break;
    }
    std::size_t used = br.pos();
    br.align();
    unsigned pad = 0;
    std::size_t pad_bits = br.pos() - used;
    d.bytes = br.pos() / 8;
    if (pad_bits != 0) pad = unsigned(std::uint8_t(data[d.bytes - 1])) >> (8 - pad_bits);
    d.pad_bits = pad;
    d.ok = true;
    return d;
}

// All items of all blocks, in order.
inline std::vector<Item> all_items(const Decoded &d) {
    std::vector<Item> v;
    for (const auto &b : d.blocks) v.insert(v.end(), b.items.begin(), b.items.end());
    return v;
}

// Runs the member writer in this process on `data`, stored under `name`, and
// returns the member. The codec's state carries over from earlier calls, as it
// does between the inputs of one build.
inline std::string zip_member(const std::string &data, const std::string &name = "data.bin") {
    testutil::TempDir dir;
    std::string in_path = dir / "in", out_path = dir / "out";
    testutil::write_file(in_path, data);
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(in, 0);
    EXPECT_GE(out, 0);
    std::snprintf(codec::ifname, sizeof codec::ifname, "%s", name.c_str());
    EXPECT_EQ(codec::zip(in, out), 0);
    close(in);
    close(out);
    return testutil::read_file(out_path);
}

// The DEFLATE data of a single member written by zip_member.
inline std::string deflate_of(const std::string &member) {
    std::vector<Member> ms;
    if (!split_members(member, ms) || ms.size() != 1) {
        ADD_FAILURE() << "not one member";
        return {};
    }
    return ms[0].deflate;
}

} // namespace encoder_check
