// Running an archive: extraction into the extract command and installation.
#include "driver/driver.h"

namespace driver {

int do_decompress(char *program) {
    (void)program;
    report("%s: extraction is not built yet\n", progname);
    return -1;
}

} // namespace driver
