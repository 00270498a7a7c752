// Parsing of the command line and environment into Options, and --help.
#include "options.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <utility>

namespace korvane::emulator {
namespace {

constexpr const char* default_admin_key = "sk-korvane-admin";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

long long to_integer(const std::string& flag, const std::string& text, long long lo, long long hi) {
    long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < lo || value > hi) {
        throw UsageError(flag + " expects an integer from " + std::to_string(lo) + " to " + std::to_string(hi) +
                         ", got '" + text + "'");
    }
    return value;
}

double to_seconds(const std::string& flag, const std::string& text) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0 || value > 86400) {
        throw UsageError(flag + " expects a number of seconds from 0 to 86400, got '" + text + "'");
    }
    return value;
}

// Splits "--flag=value" and "--flag value" alike.
class ArgReader {
public:
    explicit ArgReader(const std::vector<std::string>& args) : args_(args) {}

    bool next(std::string& flag) {
        if (pos_ >= args_.size()) return false;
        flag = args_[pos_++];
        inline_value_.reset();
        if (flag.rfind("--", 0) == 0) {
            if (auto eq = flag.find('='); eq != std::string::npos) {
                inline_value_ = flag.substr(eq + 1);
                flag.resize(eq);
            }
        }
        return true;
    }

    std::string value(const std::string& flag) {
        if (inline_value_) return *std::exchange(inline_value_, std::nullopt);
        if (pos_ >= args_.size()) throw UsageError(flag + " needs a value");
        return args_[pos_++];
    }

private:
    const std::vector<std::string>& args_;
    std::size_t pos_ = 0;
    std::optional<std::string> inline_value_;
};

Options parse_or_throw(const std::vector<std::string>& args, bool& help) {
    Options options;
    std::optional<std::string> admin_key;
    std::optional<double> delay_seconds;
    std::optional<long long> delay_count;
    std::optional<long long> drop_after;
    std::optional<long long> drop_count;
    ArgReader reader(args);
    std::string flag;
    while (reader.next(flag)) {
        if (flag == "-h" || flag == "--help") {
            help = true;
            return options;
        } else if (flag == "--host") {
            options.host = reader.value(flag);
        } else if (flag == "--port") {
            options.port = static_cast<int>(to_integer(flag, reader.value(flag), 0, 65535));
        } else if (flag == "--admin-key") {
            admin_key = reader.value(flag);
            if (admin_key->empty()) throw UsageError("--admin-key may not be empty");
        } else if (flag == "--job-seconds") {
            options.job_seconds = to_seconds(flag, reader.value(flag));
        } else if (flag == "--requests-per-minute") {
            options.limits.requests_per_minute = to_integer(flag, reader.value(flag), 1, 1LL << 40);
        } else if (flag == "--tokens-per-minute") {
            options.limits.tokens_per_minute = to_integer(flag, reader.value(flag), 1, 1LL << 40);
        } else if (flag == "--limit-window-seconds") {
            options.limits.window_seconds = to_seconds(flag, reader.value(flag));
            if (options.limits.window_seconds < 0.01) throw UsageError(flag + " must be at least 0.01");
        } else if (flag == "--rate-limit") {
            options.faults.rate_limit.remaining = to_integer(flag, reader.value(flag), -1, 1LL << 40);
        } else if (flag == "--retry-after") {
            options.faults.retry_after = reader.value(flag);
            if (options.faults.retry_after.find_first_of("\r\n") != std::string::npos) {
                throw UsageError("--retry-after may not contain line breaks");
            }
        } else if (flag == "--server-error") {
            options.faults.server_error.remaining = to_integer(flag, reader.value(flag), -1, 1LL << 40);
        } else if (flag == "--server-error-status") {
            options.faults.server_error_status = static_cast<int>(to_integer(flag, reader.value(flag), 500, 599));
        } else if (flag == "--delay") {
            delay_seconds = to_seconds(flag, reader.value(flag));
        } else if (flag == "--delay-count") {
            delay_count = to_integer(flag, reader.value(flag), -1, 1LL << 40);
        } else if (flag == "--drop-stream-after") {
            drop_after = to_integer(flag, reader.value(flag), 0, 1LL << 40);
        } else if (flag == "--drop-stream-count") {
            drop_count = to_integer(flag, reader.value(flag), -1, 1LL << 40);
        } else {
            throw UsageError("unknown option '" + flag + "'");
        }
    }
    if (delay_count && !delay_seconds) throw UsageError("--delay-count needs --delay");
    if (drop_count && !drop_after) throw UsageError("--drop-stream-count needs --drop-stream-after");
    if (delay_seconds) {
        options.faults.delay_seconds = *delay_seconds;
        options.faults.delay.remaining = delay_count.value_or(-1);
    }
    if (drop_after) {
        options.faults.drop_after_chunks = *drop_after;
        options.faults.drop_stream.remaining = drop_count.value_or(-1);
    }
    if (admin_key) {
        options.admin_key = *admin_key;
    } else if (const char* env = std::getenv("KORVANE_EMULATOR_ADMIN_KEY"); env != nullptr && *env != '\0') {
        options.admin_key = env;
    } else {
        options.admin_key = default_admin_key;
    }
    return options;
}

}  // namespace

std::string usage_text() {
    return R"(Usage: korvane-emulator [options]

Plays the Korvane platform (API and proxy paths on one port) on loopback, with
in-memory state, for demos and end-to-end tests.

Options:
  --host HOST                 address to listen on (default 127.0.0.1)
  --port N                    port to listen on; 0 picks a free one (default 8000)
  --admin-key KEY             admin API key (default: $KORVANE_EMULATOR_ADMIN_KEY,
                              else "sk-korvane-admin")
  --job-seconds S             time a training job takes from pending to completed
                              (default 3.0)
  -h, --help                  show this text and exit

Rate limits, per caller (the admin key, each tenant), as a platform keeps them:
  --requests-per-minute N     answer 429 with Retry-After once a caller's requests
                              in the current window reach this rate
  --tokens-per-minute N       the same for the tokens of chat answers (prompt and
                              completion); a request larger than a window's share
                              is refused outright
  --limit-window-seconds S    length of the fixed window the limits are counted
                              over (default 60); a window of S seconds admits
                              limit * S / 60, rounded down, at least 1

Fault injection (a count of -1 means every request):
  --rate-limit N              answer the next N platform requests with 429
  --retry-after S             Retry-After value sent with those 429s (default 1)
  --server-error N            answer the next N platform requests with a 5xx
  --server-error-status CODE  status of those answers, 500 to 599 (default 500)
  --delay SECONDS             wait this long before answering
  --delay-count N             ...for the next N requests only (default: every request)
  --drop-stream-after K       cut streamed chat answers after K chunks, without
                              the final chunk terminator
  --drop-stream-count N       ...for the next N streams only (default: every stream)

At run time the same faults are set with POST /_emulator/faults, e.g.
  {"rate_limit": {"times": 1, "retry_after": "2"},
   "server_error": {"times": 1, "status": 503},
   "delay": {"times": 2, "seconds": 1.5},
   "drop_stream": {"times": 1, "after_chunks": 3}}
(a null member clears that fault). POST /_emulator/limits sets the rate
limits ({"requests_per_minute": N, "tokens_per_minute": N, "window_seconds": S},
null: unlimited); GET /_emulator/limits shows them with the requests, tokens
and refusals of each caller per window and the requests per X-Korvane-Batch-Id.
POST /_emulator/reset clears all state, faults and counters and puts the limits
back as started; GET /_emulator/stats counts the platform requests received;
GET /_emulator/traceparents lists the traceparent headers the latest requests
of each path carried (the last 16 per path).
These paths need the admin key.

The first line written to stdout is "korvane-emulator listening on http://HOST:PORT".
SIGTERM or SIGINT shut the server down cleanly.
)";
}

ParseResult parse_options(const std::vector<std::string>& args) {
    ParseResult result;
    try {
        bool help = false;
        Options options = parse_or_throw(args, help);
        if (help) {
            std::cout << usage_text() << std::flush;
            result.exit_status = 0;
            return result;
        }
        result.options = std::move(options);
    } catch (const UsageError& e) {
        std::cerr << "korvane-emulator: " << e.what() << "\nTry 'korvane-emulator --help'.\n";
        result.exit_status = 2;
    }
    return result;
}

}  // namespace korvane::emulator
