// Build mode: stub, trailer and one gzip member (or raw copy) per input.
#include <cstdlib>

#include "driver/driver.h"

namespace driver {

void do_build(int argc, char **argv) {
    (void)argc;
    (void)argv;
    report("%s: building is not built yet\n", progname);
    std::exit(1);
}

} // namespace driver
