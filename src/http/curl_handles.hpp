// Owning wrappers for libcurl handles, so every handle is released exactly once.
#pragma once
#include "http/curl_api.hpp"

#include <memory>
#include <new>
#include <string_view>

namespace korvane::http {

struct EasyCleanup {
    void operator()(CURL* handle) const noexcept { libcurl::curl_easy_cleanup(handle); }
};
struct MultiCleanup {
    void operator()(CURLM* handle) const noexcept { libcurl::curl_multi_cleanup(handle); }
};
struct SlistCleanup {
    void operator()(curl_slist* list) const noexcept { libcurl::curl_slist_free_all(list); }
};
struct UrlCleanup {
    void operator()(CURLU* url) const noexcept { libcurl::curl_url_cleanup(url); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;

// A list of header lines handed to CURLOPT_HTTPHEADER.
class HeaderList {
public:
    void append(const char* line) {
        curl_slist* grown = libcurl::curl_slist_append(list_.get(), line);
        if (!grown) throw std::bad_alloc();
        // curl_slist_append returns the head it was given (or a new head for an empty list).
        if (!list_) list_.reset(grown);
    }
    curl_slist* get() const noexcept { return list_.get(); }
    // Drops every line that sets or removes header `name` (any case); true when one was there.
    bool remove(std::string_view name) {
        bool removed = false;
        HeaderList kept;
        for (curl_slist* item = list_.get(); item; item = item->next) {
            if (names_header(item->data, name)) {
                removed = true;
            } else {
                kept.append(item->data);
            }
        }
        if (removed) list_ = std::move(kept.list_);
        return removed;
    }

private:
    // "Name: value", "Name;" or "Name:" for `name`, compared without regard to case.
    static bool names_header(const char* line, std::string_view name) {
        for (char expected : name) {
            char c = *line++;
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (expected >= 'A' && expected <= 'Z') expected = static_cast<char>(expected - 'A' + 'a');
            if (c != expected) return false;
        }
        return *line == ':' || *line == ';';
    }

    std::unique_ptr<curl_slist, SlistCleanup> list_;
};

// Initialises libcurl once per process (thread-safe through a function-local static).
void ensure_curl_initialised();

}  // namespace korvane::http
