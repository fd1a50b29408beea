// The driver's process-wide state, defined once (declared in driver.h).
#include <cstring>
#include <initializer_list>

#include "driver/block_ledger.h"
#include "driver/driver.h"
#include "driver/progress.h"
#include "driver/signature.h"

namespace driver {

char features[BUFLEN];
char comment[BUFLEN];
char run_program[BUFLEN];
char pipe_program[BUFLEN];
char kelpa_path[BUFLEN];
char uncompress_dir[BUFLEN];
int extract_only;
int dont_run_program;
int quiet;
int check_only;
char public_key_path[BUFLEN];
char secret_key_path[BUFLEN];
public_key trusted_key;
bool trusted_key_set;
signing_state signing;
file_identity verified_file;

const char scid[64] = "@(#) kelpa 1.2.1    6/6/2001 ";
const char *F_OEM = "KX_VENDOR=";

void reset_state() {
    for (char *b : {features, comment, run_program, pipe_program, kelpa_path, uncompress_dir})
        std::memset(b, 0, BUFLEN);
    extract_only = dont_run_program = quiet = check_only = 0;
    preamble_end = 0;
    trailer_cut = 0;
    trailer_whole = 0;
    ledger_end();
    std::memset(eop, 0, sizeof eop);
    std::memset(found_program, 0, sizeof found_program);
    std::memset(found_feature, 0, sizeof found_feature);
    first_time = 1;
    extract_pid = 0;
    extract_fd = -1;
    link_path[0] = link_target[0] = '\0';
    run_pid = 0;
    pending_signal = 0;
    foreground_tty = -1;
    // The handlers stay installed; a test that needs them fresh runs kelpa.
    signals_caught = false;
    for (bool &c : signal_caught) c = false;
    for (bool &c : ignored_on_entry) c = false;
    progress = progress_line{};
    trailer_at = 0;
    public_key_path[0] = secret_key_path[0] = '\0';
    sodium_memzero(&trusted_key, sizeof trusted_key);
    trusted_key_set = false;
    signing = signing_state{};
    verified_file = file_identity{};
    password_tty = -1;
    password_termios = termios{};
}

} // namespace driver
