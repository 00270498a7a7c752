// Reply generation with stop texts, max_tokens and forced lengths.
#include "chat_model.hpp"

namespace korvane::emulator {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space(text[i])) ++i;
        std::size_t start = i;
        while (i < text.size() && !is_space(text[i])) ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

std::int64_t count_tokens(std::string_view text) {
    std::int64_t count = 0;
    bool in_word = false;
    for (char c : text) {
        bool space = is_space(c);
        if (!space && !in_word) ++count;
        in_word = !space;
    }
    return count;
}

std::string Completion::text() const {
    std::string out;
    for (std::size_t i = 0; i < count_; ++i) {
        if (i > 0) out.push_back(' ');
        out += token(i);
    }
    return out;
}

std::string reply_text(std::string_view last_user_message, std::size_t choice_index) {
    std::string preamble = choice_index == 0 ? "Echo:" : "Echo (variant " + std::to_string(choice_index + 1) + "):";
    if (count_tokens(last_user_message) == 0) return preamble + " (no user message)";
    return preamble + " " + std::string(last_user_message);
}

Completion complete(std::string_view last_user_message, std::size_t choice_index, const ReplyLimits& limits) {
    std::string text = reply_text(last_user_message, choice_index);
    std::string finish = "stop";
    std::size_t count = 0;
    std::vector<std::string> words;
    if (limits.forced_tokens) {
        words = split_words(text);
        count = static_cast<std::size_t>(*limits.forced_tokens);
    } else {
        // Cut before the earliest stop text found anywhere in the reply.
        std::size_t cut = std::string::npos;
        for (const auto& stop : limits.stop) {
            if (stop.empty()) continue;
            auto at = text.find(stop);
            if (at != std::string::npos && (cut == std::string::npos || at < cut)) cut = at;
        }
        if (cut != std::string::npos) text.resize(cut);
        words = split_words(text);
        count = words.size();
    }
    if (limits.max_tokens && static_cast<std::size_t>(*limits.max_tokens) < count) {
        count = static_cast<std::size_t>(*limits.max_tokens);
        finish = "length";
    }
    if (words.empty()) words.emplace_back("token");  // keeps token() defined; unused when count is 0
    return Completion(std::move(words), count, std::move(finish));
}

}  // namespace korvane::emulator
