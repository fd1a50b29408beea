// Listing of an archive's trailer and payload statistics (-l).
#include "driver/driver.h"

namespace driver {

void do_list(char *path) {
    (void)path;
    report("%s: listing is not built yet\n", progname);
    exit_code = 1;
}

} // namespace driver
