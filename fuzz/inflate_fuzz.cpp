// Arbitrary bytes as an archive payload: the member reader and the decoder
// must end every input with a result or a fatal exit, inside their buffers.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/codec.h"

namespace {

int input_fd() {
    static int fd = memfd_create("inflate_fuzz", 0);
    return fd;
}

int null_fd() {
    static int fd = open("/dev/null", O_WRONLY);
    return fd;
}

// What a fresh process would start with; the window's zeros matter, since a
// distance before the member's start reads them into the CRC.
void reset() {
    using namespace codec;
    static char name[] = "kelpa";
    progname = name;
    std::strcpy(ifname, "fuzz");
    std::strcpy(ofname, "null");
    clear_bufs();
    std::memset(window, 0, WSIZE);
    part_nb = 0;
    method = 8;
    header_bytes = 0;
    time_stamp = 0;
    exit_code = 0;
    to_stdout = list = verbose = 0;
}

// The decoder cross-checks its two table systems on every block, which costs
// far more than decoding the block; longer inputs mostly add blocks.
constexpr std::size_t MAX_INPUT = 4096;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > MAX_INPUT) return 0;
    int in = input_fd();
    if (in < 0 || null_fd() < 0) return 0;
    if (ftruncate(in, 0) != 0 || pwrite(in, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    lseek(in, 0, SEEK_SET);
    reset();
    codec::ifd = in;
    try {
        if (codec::get_method() == 8) codec::unzip(in, null_fd());
    } catch (const codec::fatal_exit &) {
    }
    return 0;
}
