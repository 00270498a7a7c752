// Response: body access (whole, as text, as JSON, line by line) and its Python face.
#include "http/response.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>

#include <optional>

#include "json/json.hpp"
#include "py/gil.hpp"
#include "py/raise.hpp"
#include "py/signed_method.hpp"

namespace korvane::http {
namespace {

// A single line may not grow past this; a longer one is refused instead of held.
constexpr size_t kMaxLine = size_t{64} << 20;
constexpr size_t kHandOverLine = size_t{4} << 10;  // see next_line_view

nb::object bytes_of(std::string_view data) {
    PyObject* bytes = PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
    if (!bytes) throw nb::python_error();
    return nb::steal(bytes);
}

[[noreturn]] void runtime_error(const char* message) { py::raise_text(PyExc_RuntimeError, message); }

class LineIterator {
public:
    LineIterator(nb::object response, std::unique_ptr<LineBuffer> own, bool decode)
        : response_(std::move(response)), own_(std::move(own)), decode_(decode) {}

    nb::object next() {
        nb::object line = nb::cast<Response&>(response_).next_line(own_.get(), decode_);
        if (line.is_none()) throw nb::stop_iteration();
        return line;
    }

private:
    nb::object response_;
    std::unique_ptr<LineBuffer> own_;
    bool decode_;
};

// The class's own methods as bound, to tell them from replacements.
PyObject* g_original_iter_lines = nullptr;
PyObject* g_original_json = nullptr;

PyObject* class_attribute(PyTypeObject* type, const char* name) {
    nb::str key(name);
    return _PyType_Lookup(type, key.ptr());  // borrowed
}

}  // namespace

Response* own_response(nb::handle object, ResponseMethod method) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(nb::type<Response>().ptr());
    if (Py_TYPE(object.ptr()) != type) return nullptr;
    const bool iter_lines = method == ResponseMethod::iter_lines;
    PyObject* original = iter_lines ? g_original_iter_lines : g_original_json;
    if (!original || class_attribute(type, iter_lines ? "iter_lines" : "json") != original) return nullptr;
    return &nb::cast<Response&>(object);
}

Response::Response(std::unique_ptr<Exchange> exchange)
    : status_(exchange->status()), reason_(exchange->reason()), url_(exchange->effective_url()) {
    headers_ = nb::cast(std::move(exchange->headers()), nb::rv_policy::move);
    if (exchange->finished() && !exchange->failed()) {
        content_ = std::move(exchange->received());
        complete_ = ended_ = true;
    } else {
        exchange_ = std::move(exchange);
    }
}

std::string_view Response::body() const {
    if (content_bytes_.is_valid()) {
        return std::string_view(PyBytes_AS_STRING(content_bytes_.ptr()),
                                static_cast<size_t>(PyBytes_GET_SIZE(content_bytes_.ptr())));
    }
    return content_;
}

void Response::fail_stream(const Failure& failure) {
    std::optional<nb::python_error> pending;
    if (failure.python_error) pending.emplace();  // take the exception before releasing the transfer
    exchange_.reset();
    closed_early_ = true;
    lines_.clear();
    if (pending) throw *pending;
    raise_error(failure);
}

void Response::read_all() {
    if (complete_) return;
    if (consumed_) runtime_error("The content for this response was already consumed");
    if (!exchange_) raise_error(ErrorKind::Request, "The response was closed before its body was read");
    Failure failure;
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = exchange_->pump(Exchange::Until::End, failure);
    }
    if (!ok) fail_stream(failure);
    content_ = std::move(exchange_->received());
    exchange_.reset();  // the connection goes back to the pool
    complete_ = ended_ = true;
}

nb::object Response::content() {
    auto lock = py::lock_releasing_gil(mutex_);
    if (!content_bytes_.is_valid()) {
        read_all();
        content_bytes_ = bytes_of(content_);
        std::string().swap(content_);
    }
    return content_bytes_;
}

std::string Response::charset() const {
    const HeaderMap& map = nb::cast<const HeaderMap&>(headers_);
    const std::string* value = map.find("Content-Type");
    if (!value) return {};
    return header_parameter(*value, "charset").value_or(std::string());
}

nb::object Response::decode(std::string_view bytes) const {
    std::string encoding = charset();
    const char* name = encoding.empty() ? "utf-8" : encoding.c_str();
    PyObject* text = PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), name, "replace");
    if (!text && PyErr_ExceptionMatches(PyExc_LookupError)) {
        // A character set Python does not know: UTF-8 is the best guess.
        PyErr_Clear();
        text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
    }
    if (!text) throw nb::python_error();
    return nb::steal(text);
}

nb::object Response::text() {
    auto lock = py::lock_releasing_gil(mutex_);
    read_all();
    return decode(body());
}

nb::object Response::json() {
    return read_body([](std::string_view body) { return json::parse(body); });
}

nb::object Response::read_body(const std::function<nb::object(std::string_view)>& reader) {
    auto lock = py::lock_releasing_gil(mutex_);
    read_all();
    return reader(body());
}

nb::object Response::iter_lines(nb::handle self, bool decode_unicode) {
    auto own = std::make_unique<LineBuffer>();
    if (!begin_lines(*own)) own.reset();  // live: the lines come from the response's own buffer
    return nb::cast(LineIterator(nb::borrow(self), std::move(own), decode_unicode));
}

nb::object Response::next_line(LineBuffer* own, bool decode_unicode) {
    auto lock = py::lock_releasing_gil(mutex_);
    std::optional<std::string_view> line = own ? next_line_view(*own, true) : next_line_view(lines_, false);
    if (!line) return nb::none();
    return decode_unicode ? decode(*line) : bytes_of(*line);
}

bool Response::begin_lines(LineBuffer& into) {
    auto lock = py::lock_releasing_gil(mutex_);
    if (complete_) {
        std::string copy(body());
        into.append(copy);
        return true;
    }
    consumed_ = true;
    return false;
}

std::optional<std::string_view> Response::next_line_in(LineBuffer& buffer) {
    auto lock = py::lock_releasing_gil(mutex_);
    return next_line_view(buffer, false);
}

std::optional<std::string_view> Response::next_line_view(LineBuffer& buffer, bool complete) {
    for (;;) {
        bool at_end = complete || !exchange_;
        if (std::optional<std::string_view> line = buffer.next_line(at_end)) return line;
        if (complete || ended_) return std::nullopt;
        if (!exchange_) raise_error(ErrorKind::Request, "The response was closed before its body was read");
        if (buffer.pending() > kMaxLine) {
            buffer.clear();
            fail_stream({ErrorKind::Request, "A line of the answer is longer than 64 MiB"});
        }
        if (!exchange_->received().empty()) {
            buffer.append(exchange_->received());  // arrived with the headers or an earlier pump
            continue;
        }
        // A short partial line goes ahead of what arrives, so the arrival is taken over instead
        // of copied behind it (the next pump waits for bytes beyond it). A long one stays:
        // moving it on every read would be quadratic.
        if (buffer.pending() <= kHandOverLine) buffer.hand_over_pending(exchange_->received());
        Failure failure;
        bool ok;
        {
            nb::gil_scoped_release release;
            ok = exchange_->pump(Exchange::Until::Data, failure);
        }
        if (!ok) {
            if (!failure.python_error) {
                // Lines that arrived whole before the failure are still delivered, then it is raised.
                buffer.append(exchange_->received());
                if (std::optional<std::string_view> line = buffer.next_line(false)) return line;
            }
            buffer.clear();
            fail_stream(failure);
        }
        buffer.append(exchange_->received());
        if (exchange_->finished()) {
            exchange_.reset();  // whole body read: the connection is kept for the next request
            ended_ = true;
        }
    }
}

void Response::finish_within(std::chrono::milliseconds bound) {
    auto lock = py::lock_releasing_gil(mutex_);
    if (!exchange_) return;
    bool finished;
    {
        nb::gil_scoped_release release;
        finished = exchange_->finish_within(bound);
    }
    if (finished) {
        exchange_.reset();  // read to its end: the connection is kept for the next request
        ended_ = true;
    }
}

void Response::close() {
    auto lock = py::lock_releasing_gil(mutex_);
    if (exchange_) {
        exchange_.reset();  // drops the connection: the rest of the body is never read
        closed_early_ = true;
    }
}

void bind_response(nb::module_& m) {
    nb::class_<LineIterator>(m, "_LineIterator", "Lines of an answer body, pulled as they arrive.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &LineIterator::next);

    nb::class_<Response>(m, "Response", "An answer: status, headers and body.")
        .def_prop_ro("status_code", &Response::status_code, "The HTTP status code.")
        .def_prop_ro("reason", &Response::reason, "The reason phrase of the status line (empty over HTTP/2).")
        .def_prop_ro("url", &Response::url, "The URL of the answer, after redirects.")
        .def_prop_ro("headers", &Response::headers, "The headers, looked up by name without regard to case.")
        .def_prop_ro("ok", &Response::ok, "False for a status from 400 to 599, else True.")
        .def_prop_ro("content", &Response::content, "The body as bytes (read to its end first).")
        .def_prop_ro("text", &Response::text,
                     "The body as text, decoded by the declared charset, else as UTF-8 (bad bytes replaced).")
        .def("json", &Response::json,
             "The body decoded as json.loads decodes bytes (NaN and Infinity included); its errors when it is "
             "not JSON: json.JSONDecodeError, or UnicodeDecodeError for bytes that are not UTF-8.")
        .def(
            "iter_lines",
            [](nb::handle self, bool decode_unicode) {
                return nb::cast<Response&>(self).iter_lines(self, decode_unicode);
            },
            nb::arg("decode_unicode") = false,
            "The body's lines as they arrive, without their endings (LF, CR LF or CR); bytes, or str with "
            "decode_unicode.")
        .def("close", &Response::close, "Release the connection; an unread body is never read.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__exit__", [](Response& r, nb::handle, nb::handle, nb::handle) { r.close(); }, nb::arg("exc_type").none(),
            nb::arg("exc_value").none(), nb::arg("traceback").none())
        .def("__repr__", [](const Response& r) { return "<Response [" + std::to_string(r.status_code()) + "]>"; });

    py::sign_methods(nb::type<Response>());  // before the originals below are taken
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(nb::type<Response>().ptr());
    g_original_iter_lines = Py_XNewRef(class_attribute(type, "iter_lines"));  // kept for the process
    g_original_json = Py_XNewRef(class_attribute(type, "json"));
}

}  // namespace korvane::http
