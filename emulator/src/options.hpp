// Command-line options of korvane-emulator.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "faults.hpp"
#include "rate_limits.hpp"

namespace korvane::emulator {

struct Options {
    std::string host = "127.0.0.1";
    int port = 8000;  // 0: any free port
    std::string admin_key;
    double job_seconds = 3.0;
    FaultSettings faults;
    LimitSettings limits;
};

// Either options to run with, or an exit status after --help or a usage error
// (the text has then been written to stdout or stderr).
struct ParseResult {
    std::optional<Options> options;
    int exit_status = 0;
};

ParseResult parse_options(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace korvane::emulator
