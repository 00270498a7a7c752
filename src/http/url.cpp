// URL escaping, query encoding and the up-front URL check.
#include "http/url.hpp"

#include "http/curl_handles.hpp"
#include "http/errors.hpp"
#include "py/raise.hpp"
#include "py/text.hpp"

namespace korvane::http {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool is_unreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Bytes that may stand raw in a path, query or fragment: the unreserved and reserved characters.
bool may_stay_raw(unsigned char c) {
    if (is_unreserved(c)) return true;
    switch (c) {
        case '!':
        case '#':
        case '$':
        case '&':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '+':
        case ',':
        case '/':
        case ':':
        case ';':
        case '=':
        case '?':
        case '@':
        case '[':
        case ']': return true;
        default: return false;
    }
}

void percent(unsigned char c, std::string& out) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
}

void escape_tail(std::string_view tail, std::string& out) {
    for (size_t i = 0; i < tail.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(tail[i]);
        if (c == '%') {
            if (i + 2 < tail.size() && is_hex(tail[i + 1]) && is_hex(tail[i + 2])) {
                out += '%';
            } else {
                out += "%25";
            }
        } else if (may_stay_raw(c)) {
            out += static_cast<char>(c);
        } else {
            percent(c, out);
        }
    }
}

void append_pair(std::string& query, nb::handle name, nb::handle value) {
    if (!query.empty()) query += '&';
    form_escape(py::text_bytes(name), query);
    query += '=';
    form_escape(py::text_bytes(value), query);
}

// One name with its value: skipped when null, repeated for an iterable that is not text.
void append_field(std::string& query, nb::handle name, nb::handle value) {
    if (value.is_none()) return;
    bool text = PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr());
    if (text || !PyObject_HasAttrString(value.ptr(), "__iter__")) {
        append_pair(query, name, value);
        return;
    }
    for (nb::handle element : nb::iter(value)) {
        if (!element.is_none()) append_pair(query, name, element);
    }
}

}  // namespace

void form_escape(std::string_view text, std::string& out) {
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (is_unreserved(c)) {
            out += ch;
        } else if (c == ' ') {
            out += '+';
        } else {
            percent(c, out);
        }
    }
}

void escape_segment(std::string_view bytes, std::string& out) {
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (is_unreserved(c)) {
            out += ch;
        } else {
            percent(c, out);
        }
    }
}

std::string escape_url(std::string_view url) {
    std::string out;
    out.reserve(url.size() + 16);
    // The host is left to libcurl (international names); only what follows it is escaped.
    size_t authority = url.find("://");
    size_t tail = 0;
    if (authority != std::string_view::npos) {
        tail = url.find_first_of("/?#", authority + 3);
        if (tail == std::string_view::npos) tail = url.size();
    }
    out.append(url.substr(0, tail));
    escape_tail(url.substr(tail), out);
    return out;
}

void append_query(std::string& url, nb::handle params) {
    if (params.is_none()) return;
    std::string query;
    if (PyUnicode_Check(params.ptr()) || PyBytes_Check(params.ptr())) {
        escape_tail(py::text_bytes(params), query);
    } else if (PyDict_Check(params.ptr())) {
        // A snapshot of the items: a value's __str__ could otherwise change the dict under us.
        nb::object items = nb::steal(PyDict_Items(params.ptr()));
        if (!items.is_valid()) throw nb::python_error();
        for (nb::handle item : items) {
            append_field(query, PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1));
        }
    } else {
        nb::object items = PyMapping_Check(params.ptr()) && PyObject_HasAttrString(params.ptr(), "items")
                               ? params.attr("items")()
                               : nb::borrow(params);
        for (nb::handle item : nb::iter(items)) {
            nb::object pair = nb::steal(PySequence_Tuple(item.ptr()));
            if (!pair.is_valid()) throw nb::python_error();
            if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
                py::raise_text(PyExc_ValueError, "params must be a mapping or a sequence of (name, value) pairs");
            }
            append_field(query, PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1));
        }
    }
    if (query.empty()) return;
    size_t scheme_end = url.find("://");
    size_t fragment = url.find('#', scheme_end == std::string::npos ? 0 : scheme_end + 3);
    size_t end = fragment == std::string::npos ? url.size() : fragment;
    std::string_view before(url.data(), end);
    std::string insert;
    if (before.find('?') == std::string_view::npos) {
        insert += '?';
    } else if (before.back() != '?' && before.back() != '&') {
        insert += '&';
    }
    insert += query;
    url.insert(end, insert);
}

void check_url(const std::string& url) {
    UrlHandle handle(libcurl::curl_url());
    if (!handle) throw std::bad_alloc();
    CURLUcode rc = libcurl::curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0);
    if (rc != CURLUE_OK) raise_error(ErrorKind::InvalidURL, libcurl::curl_url_strerror(rc));
    char* scheme = nullptr;
    rc = libcurl::curl_url_get(handle.get(), CURLUPART_SCHEME, &scheme, 0);
    if (rc != CURLUE_OK) raise_error(ErrorKind::InvalidURL, libcurl::curl_url_strerror(rc));
    std::string_view given(scheme);
    bool web = given == "http" || given == "https";
    libcurl::curl_free(scheme);
    if (!web) raise_error(ErrorKind::InvalidURL, libcurl::curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL));
}

}  // namespace korvane::http
