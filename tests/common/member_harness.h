// Runs kelpa's member reader (get_method, then unzip) on one gzip member in a
// child process, as extraction does, and collects what it did: exit status,
// decoded bytes, standard error and the reader's state afterwards.
#pragma once

#include <string>

namespace testutil {

struct MemberRun {
    // Child's exit status: 0 decoded, 1 fatal codec exit, 2 header rejected
    // (get_method returned -1), -1 killed by a signal.
    int status = -1;
    std::string out;        // bytes written to ofd
    std::string err;        // standard error, exactly
    std::string ofname;     // ofname after get_method
    long time_stamp = 0;    // after get_method
    long long header_bytes = 0;
    long long bytes_out = 0;
    int exit_code = 0;      // codec::exit_code after get_method
};

struct MemberOptions {
    bool header_only = false;     // stop after get_method
    bool through_pipe = false;    // input from a pipe fed `chunk` bytes per write
    std::size_t chunk = 1;
    bool verbose = false;
    bool to_stdout = false;
    bool list = false;
    std::string ofname = "out";   // ofname before get_method
    long time_stamp = 0;          // time_stamp before get_method
    std::string output;           // write here instead of a fresh file (e.g. /dev/full)
};

// The input is named "in.gz" in messages and the program "kelpa".
MemberRun run_member(const std::string &member, const MemberOptions &opt = {});

// A gzip member around raw DEFLATE data, with the CRC and length of `plain`.
std::string gzip_wrap(const std::string &deflate, const std::string &plain);

} // namespace testutil
