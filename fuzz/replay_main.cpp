// Replays every file of the corpus directories given on the command line
// through the fuzz target, so CTest runs each target as a regression test.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
// Optional, as under libFuzzer: set-up that a target needs once per process.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool replay_file(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        std::perror(path.c_str());
        return false;
    }
    std::vector<std::uint8_t> data;
    std::uint8_t buf[65536];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) data.insert(data.end(), buf, buf + got);
    close(fd);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    int files = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            std::perror(argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            files += replay_file(argv[i]);
            continue;
        }
        DIR *d = opendir(argv[i]);
        while (struct dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            if (!replay_file(std::string(argv[i]) + "/" + e->d_name)) return 1;
            files++;
        }
        closedir(d);
    }
    std::printf("replayed %d inputs\n", files);
    return files > 0 ? 0 : 1;
}
