// Error type that request handlers throw to answer with a JSON error body.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace korvane::emulator {

// Thrown anywhere below a request handler; the server turns it into
// {"detail": ..., "error_code": ...} with the given status.
class ApiError : public std::runtime_error {
public:
    ApiError(int status, std::string detail, std::string code)
        : std::runtime_error(detail), status_(status), detail_(std::move(detail)), code_(std::move(code)) {}

    int status() const noexcept { return status_; }
    const std::string& detail() const noexcept { return detail_; }
    const std::string& code() const noexcept { return code_; }

private:
    int status_;
    std::string detail_;
    std::string code_;
};

// "Tenant 'x' not found" and friends.
inline ApiError not_found(std::string_view kind, std::string_view id) {
    return ApiError(404, std::string(kind) + " '" + std::string(id) + "' not found", "NOT_FOUND");
}

inline ApiError validation_error(std::string detail) { return ApiError(422, std::move(detail), "VALIDATION_ERROR"); }

inline ApiError forbidden() { return ApiError(403, "This API key may not access this resource", "FORBIDDEN"); }

}  // namespace korvane::emulator
