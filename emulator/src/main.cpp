// Entry point of korvane-emulator: options, listening socket, signals.
#include <sys/resource.h>
#include <iostream>
#include <string>
#include <vector>

#include "options.hpp"
#include "server.hpp"
#include "signals.hpp"

namespace {

// Every open connection is a descriptor, and the usual soft limit (1,024) is far below what a load
// test opens: take the hard limit, as servers do.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace korvane::emulator;
    // Before any thread exists, so that all of them inherit the mask.
    block_termination_signals();
    raise_descriptor_limit();

    ParseResult parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) return parsed.exit_status;
    const Options& options = *parsed.options;

    try {
        EmulatorServer server(options);
        int port = server.bind();
        if (port < 0) {
            std::cerr << "korvane-emulator: cannot listen on " << options.host << ":" << options.port << "\n";
            return 1;
        }
        std::string host = options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
        std::cout << "korvane-emulator listening on http://" << host << ":" << port << std::endl;

        SignalWatcher watcher([&server] { server.stop(); });
        return server.run() ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "korvane-emulator: " << e.what() << "\n";
        return 1;
    }
}
