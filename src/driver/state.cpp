// The driver's process-wide state, defined once (declared in driver.h).
#include "driver/driver.h"

namespace driver {

char features[BUFLEN];
char comment[BUFLEN];
char run_program[BUFLEN];
char pipe_program[BUFLEN];
char kelpa_path[BUFLEN];
char uncompress_dir[BUFLEN];
int extract_only;
int dont_run_program;

const char scid[64] = "@(#) kelpa 1.2.1    6/6/2001 ";
const char *F_OEM = "KX_VENDOR=";

} // namespace driver
