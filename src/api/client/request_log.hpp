// The "korvane_sdk" logger of the request loop: a debug line per attempt, a warning per repeat.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api::request_log {

namespace nb = nanobind;

// The logger when records of `level` (logging.DEBUG 10, WARNING 30) would be emitted, else an
// invalid handle. Costs a dictionary lookup when the program has not imported logging (nothing
// can listen then) and one isEnabledFor() call when it has. On the first call, KORVANE_LOG (debug,
// info, warning or error, in any case) sets the logger's level and gives it a stderr handler that
// stays silent while the application has handlers of its own; another value warns once.
nb::handle enabled(int level);

// logger.log(level, format, *args): the logging module formats only what it emits.
void emit(nb::handle logger, int level, const char* format, nb::tuple args);

}  // namespace korvane::api::request_log
