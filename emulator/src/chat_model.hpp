// The deterministic chat "model": echo-style replies counted in words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::emulator {

struct ReplyLimits {
    std::optional<std::int64_t> max_tokens;
    std::vector<std::string> stop;
    // Forces exactly this many completion tokens (before max_tokens), cycling
    // through the reply's words; stop texts then do not apply.
    std::optional<std::int64_t> forced_tokens;
};

// A reply as a sequence of tokens (whitespace-separated words). Tokens are
// produced on demand, so a forced million-token reply costs no memory.
class Completion {
public:
    Completion(std::vector<std::string> words, std::size_t count, std::string finish_reason)
        : words_(std::move(words)), count_(count), finish_reason_(std::move(finish_reason)) {}

    std::size_t token_count() const { return count_; }
    const std::string& token(std::size_t i) const { return words_[i % words_.size()]; }
    const std::string& finish_reason() const { return finish_reason_; }
    // The tokens joined by single blanks.
    std::string text() const;

private:
    std::vector<std::string> words_;
    std::size_t count_;
    std::string finish_reason_;
};

// Full reply text before limits: "Echo: <message>" for the first choice,
// "Echo (variant N): <message>" for the others.
std::string reply_text(std::string_view last_user_message, std::size_t choice_index);

Completion complete(std::string_view last_user_message, std::size_t choice_index, const ReplyLimits& limits);

std::vector<std::string> split_words(std::string_view text);
std::int64_t count_tokens(std::string_view text);

}  // namespace korvane::emulator
