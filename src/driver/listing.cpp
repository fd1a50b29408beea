// Listing of an archive's trailer and payload statistics (-l), read from the
// gzip header and trailer without decompressing anything; owns first_time.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

#include "driver/block_ledger.h"
#include "driver/driver.h"
#include "driver/signature.h"

namespace driver {

int first_time = 1;

namespace {

// Indexed by the gzip method number; only 8 gets past the header reader.
const char *const methods[9] = {"store", "compr", "pack ", "lzh  ", "", "", "", "", "defla"};

// Reads the payload's last 8 bytes: the last member's CRC-32 and length.
void read_gzip_trailer(codec::off64 &compressed, std::uint32_t &crc, std::uint32_t &size) {
    errno = 0;
    const codec::off64 end = ledger_size();
    unsigned char buf[8];
    if (end < static_cast<codec::off64>(sizeof buf) || ledger_read_at(end - 8, buf, sizeof buf) != 0)
        codec::read_error();
    compressed = end - preamble_end;
    crc = buf[0] | buf[1] << 8 | buf[2] << 16 | static_cast<std::uint32_t>(buf[3]) << 24;
    size = buf[4] | buf[5] << 8 | buf[6] << 16 | static_cast<std::uint32_t>(buf[7]) << 24;
}

} // namespace

void display_ratio(codec::off64 num, codec::off64 den, std::FILE *file) {
    codec::off64 ratio;
    if (den == 0) {
        ratio = 0;
    } else if (den > 2147482) {
        ratio = num / (den / 1000);
    } else {
        ratio = num * 1000 / den;
    }
    if (ratio < 0) {
        std::putc('-', file);
        ratio = -ratio;
    } else {
        std::putc(' ', file);
    }
    std::fprintf(file, "%2" PRId64 ".%1" PRId64 "%%", ratio / 10, ratio % 10);
}

void do_list(char *path, bool operand) {
    int fd = operand ? open_archive(path) : find_preamble(path);
    if (fd == PREAMBLE_UNREAD) {
        exit_code = 1;
        return;
    }
    if (fd == PREAMBLE_MISSING) {
        report("%s: unable to find preamble magic value\n", path);
        exit_code = 1;
        return;
    }
    if (trusted_key_set && verify_archive(path, fd, trusted_key) != 0) {
        close(fd);
        exit_code = 1;
        return;
    }

    // Each archive is read as the first member of a fresh input.
    codec::clear_bufs();
    codec::part_nb = 0;
    codec::time_stamp = 0;
    if (fd != 0) {
        close(0);
        dup2(fd, 0);
        close(fd);
        ledger.fd = 0;
    }
    codec::ifd = 0;
    std::snprintf(codec::ifname, sizeof codec::ifname, "%s", path);
    codec::ofd = 1;
    std::strcpy(codec::ofname, "stdout");

    const bool compressed_payload = get_feature("NOCOMPR") == nullptr;
    if (compressed_payload && codec::get_method() == -1) {
        exit_code = 1;
        return;
    }

    // A signature shows as its key on a line of its own, not in the list.
    char listed_features[BUFLEN];
    std::memcpy(listed_features, features, BUFLEN);
    char signer[17] = "";
    unsigned char id[KEY_ID_BYTES];
    unsigned char sig[SIGN_BYTES];
    if (std::size_t at; parse_signature_entry(features, id, sig, &at) == signature_entry::present) {
        listed_features[at > 0 ? at - 1 : 0] = '\0';
        // A trailer that no signed build writes is never shown as signed.
        if (!trailer_cut && trailer_whole) format_key_id(id, signer);
    }

    struct line {
        const char *label, *text;
    };
    for (line l : {line{"Feature: ", listed_features}, line{"Signed: key ", signer}, line{"Comment: ", comment},
                   line{"    Run: ", run_program},
                   line{"Extract: ", pipe_program[0] != '\0' ? pipe_program : "cat > %p/%o"}}) {
        if ((l.text == listed_features || l.text == signer) && l.text[0] == '\0') continue;
        std::fputs(l.label, stdout);
        print_visible(stdout, l.text);
        std::putchar('\n');
    }
    if (!compressed_payload) {
        std::printf("Statistics unavailable because data was not compressed\n");
        return;
    }

    if (first_time) {
        first_time = 0;
        if (verbose) std::printf("method  crc     date  time  ");
        std::printf("compressed  uncompr. ratio uncompressed_name\n");
    }

    codec::off64 compressed;
    std::uint32_t crc;
    std::uint32_t isize;
    read_gzip_trailer(compressed, crc, isize);
    // An all-ones length field stands for an unknown size: shown as -1, no ratio.
    const codec::off64 uncompressed = isize == 0xffffffffu ? -1 : static_cast<codec::off64>(isize);

    if (verbose) {
        std::time_t t = static_cast<std::time_t>(codec::time_stamp);
        const char *date = std::ctime(&t);
        char mmddhhmm[13] = "";
        if (date != nullptr) std::snprintf(mmddhhmm, sizeof mmddhhmm, "%.12s", date + 4);
        std::printf("%5s %08" PRIx32 " %11s ", methods[codec::method], crc, mmddhhmm);
    }
    std::printf("%9" PRId64 " %9" PRId64 " ", compressed, uncompressed);
    display_ratio(uncompressed - (compressed - codec::header_bytes), uncompressed < 0 ? 0 : uncompressed, stdout);
    std::putchar(' ');
    print_visible(stdout, codec::ofname);
    std::putchar('\n');
}

} // namespace driver
