// Builds multipart form bodies from `files` and feeds them to libcurl without loading files.
#include "http/upload.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>

#include "py/raise.hpp"
#include "py/text.hpp"

namespace korvane::http {
namespace {

nb::object io_class(const char* name) { return nb::module_::import_("io").attr(name); }

bool is_instance(nb::handle obj, const char* io_name) {
    int result = PyObject_IsInstance(obj.ptr(), io_class(io_name).ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// Seeds the boundary generator from getrandom(2) (std::random_device would tie the module to a C
// library from 2022 on); without it, from the clock and the thread.
std::uint64_t boundary_seed() {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
    return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           reinterpret_cast<std::uintptr_t>(&seed);
}

std::string new_boundary() {
    thread_local std::mt19937_64 engine{boundary_seed()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string boundary;
    for (int i = 0; i < 2; ++i) {
        uint64_t bits = engine();
        for (int j = 0; j < 16; ++j, bits >>= 4) boundary += kHex[bits & 15];
    }
    return boundary;
}

// A name or file name inside a quoted header parameter: quotes and line breaks cannot end the
// parameter or the header early.
std::string quoted_parameter(const std::string& text) {
    std::string out;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"') {
            out += "%22";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 && c != 0x1b) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

// The base name of a file object's `name`, as a file name for its part; empty when it has none
// that names a file (an int descriptor, "<stdin>").
std::string file_name_of(nb::handle obj) {
    nb::object name = nb::steal(PyObject_GetAttrString(obj.ptr(), "name"));
    if (!name.is_valid()) {
        PyErr_Clear();
        return {};
    }
    if (!PyUnicode_Check(name.ptr()) && !PyBytes_Check(name.ptr())) return {};
    std::string text = py::text_bytes(name);
    if (text.empty() || text.front() == '<' || text.back() == '>') return {};
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

long long tell(nb::handle obj) {
    nb::object position = obj.attr("tell")();
    long long value = PyLong_AsLongLong(position.ptr());
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    return value;
}

// A file on disk whose descriptor holds exactly the bytes read() would give: io.FileIO itself or a
// buffered file over one (not, say, a decompressing wrapper that also has a fileno()).
bool is_disk_file(nb::handle obj) {
    if (is_instance(obj, "FileIO")) return true;
    nb::object raw = nb::steal(PyObject_GetAttrString(obj.ptr(), "raw"));
    if (!raw.is_valid()) {
        PyErr_Clear();
        return false;
    }
    return is_instance(raw, "FileIO");
}

// The regular file behind a disk file's descriptor, or -1 (no error set) when it has none.
int regular_file_descriptor(nb::handle obj) {
    int fd = PyObject_AsFileDescriptor(obj.ptr());
    if (fd < 0) {
        PyErr_Clear();
        return -1;
    }
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? fd : -1;
}

}  // namespace

bool streams_in_place(nb::handle file) {
    return (is_disk_file(file) && regular_file_descriptor(file) >= 0) || is_instance(file, "BytesIO");
}

HeldBuffer::HeldBuffer(nb::handle exporter) {
    if (PyObject_GetBuffer(exporter.ptr(), &view_, PyBUF_SIMPLE) != 0) throw nb::python_error();
}

HeldBuffer::~HeldBuffer() { PyBuffer_Release(&view_); }

OwnedFd::~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
}

MultipartBody::MultipartBody(nb::handle files) : boundary_(new_boundary()) {
    content_type_ = "multipart/form-data; boundary=" + boundary_;
    nb::object items;
    if (PyDict_Check(files.ptr())) {
        items = nb::steal(PyDict_Items(files.ptr()));
    } else if (PyObject_HasAttrString(files.ptr(), "items")) {
        items = files.attr("items")();
    } else {
        items = nb::borrow(files);
    }
    if (!items.is_valid()) throw nb::python_error();
    for (nb::handle item : nb::iter(items)) {
        nb::object pair = nb::steal(PySequence_Tuple(item.ptr()));
        if (!pair.is_valid()) throw nb::python_error();
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
            py::raise_text(PyExc_ValueError, "files must be a mapping or a sequence of (name, file) pairs");
        }
        add_part(PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1));
    }
    add_text("--" + boundary_ + "--\r\n");
}

MultipartBody::~MultipartBody() = default;

void MultipartBody::add_part(nb::handle name, nb::handle value) {
    std::string field = py::text_bytes(name);
    nb::object parts;  // keeps a tuple's content alive while the part is built
    nb::handle content = value;
    std::string file_name;
    bool has_file_name = true;
    std::string part_type;
    if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
        parts = nb::steal(PySequence_Tuple(value.ptr()));
        if (!parts.is_valid()) throw nb::python_error();
        Py_ssize_t count = PyTuple_GET_SIZE(parts.ptr());
        if (count < 2 || count > 3) {
            py::raise_text(PyExc_ValueError,
                           "a files tuple is (filename, content) or (filename, content, content_type)");
        }
        nb::handle given_name = PyTuple_GET_ITEM(parts.ptr(), 0);
        has_file_name = !given_name.is_none();
        if (has_file_name) file_name = py::text_bytes(given_name);
        content = PyTuple_GET_ITEM(parts.ptr(), 1);
        if (count == 3 && !nb::handle(PyTuple_GET_ITEM(parts.ptr(), 2)).is_none()) {
            part_type = py::text_bytes(PyTuple_GET_ITEM(parts.ptr(), 2));
            if (part_type.find_first_of("\r\n") != std::string::npos) {
                py::raise_text(PyExc_ValueError, "a part's content type must not contain line breaks");
            }
        }
    } else {
        file_name = file_name_of(value);
        if (file_name.empty()) file_name = field;
    }
    std::string preamble = "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + quoted_parameter(field) +
                           "\"";
    if (has_file_name) preamble += "; filename=\"" + quoted_parameter(file_name) + "\"";
    preamble += "\r\n";
    if (!part_type.empty()) preamble += "Content-Type: " + part_type + "\r\n";
    preamble += "\r\n";
    add_text(std::move(preamble));
    add_content(content);
    add_text("\r\n");
}

void MultipartBody::add_content(nb::handle content) {
    if (PyUnicode_Check(content.ptr())) {
        add_text(py::text_bytes(content));
        return;
    }
    if (PyObject_CheckBuffer(content.ptr())) {
        buffers_.push_back(std::make_unique<HeldBuffer>(content));
        Segment segment;
        segment.buffer = buffers_.back().get();
        segment.length = segment.buffer->size();
        total_ += segment.length;
        segments_.push_back(std::move(segment));
        return;
    }
    if (!PyObject_HasAttrString(content.ptr(), "read")) {
        py::raise(PyExc_TypeError, "a file to upload must be an open file, bytes or str, not %s",
                  Py_TYPE(content.ptr())->tp_name);
    }
    if (is_disk_file(content)) {
        // From the caller's current position; the position itself is never moved, so a second
        // request with the same file sends the same bytes again.
        long long start = tell(content);
        if (PyObject_HasAttrString(content.ptr(), "flush")) content.attr("flush")();
        int fd = PyObject_AsFileDescriptor(content.ptr());
        if (fd < 0) throw nb::python_error();
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (copy < 0) {
                PyErr_SetFromErrno(PyExc_OSError);
                throw nb::python_error();
            }
            files_.push_back(std::make_unique<OwnedFd>(copy));
            Segment segment;
            segment.file = files_.back().get();
            segment.file_offset = static_cast<off_t>(std::max(0LL, start));
            segment.length = info.st_size > segment.file_offset
                                 ? static_cast<size_t>(info.st_size - segment.file_offset)
                                 : 0;
            total_ += segment.length;
            segments_.push_back(std::move(segment));
            return;
        }
    }
    if (is_instance(content, "BytesIO")) {
        // The object's own memory, without a copy; its position is left alone.
        long long start = tell(content);
        nb::object view = content.attr("getbuffer")();
        buffers_.push_back(std::make_unique<HeldBuffer>(view));
        Segment segment;
        segment.buffer = buffers_.back().get();
        segment.buffer_offset = std::min(static_cast<size_t>(std::max(0LL, start)), segment.buffer->size());
        segment.length = segment.buffer->size() - segment.buffer_offset;
        total_ += segment.length;
        segments_.push_back(std::move(segment));
        return;
    }
    // Any other readable object: read it whole, then put its position back for the next attempt.
    nb::object start = nb::steal(PyObject_CallMethod(content.ptr(), "tell", nullptr));
    if (!start.is_valid()) PyErr_Clear();
    nb::object data = content.attr("read")();
    if (start.is_valid()) content.attr("seek")(start);
    if (PyUnicode_Check(data.ptr())) {
        add_text(py::text_bytes(data));
        return;
    }
    if (!PyObject_CheckBuffer(data.ptr())) {
        py::raise(PyExc_TypeError, "read() of a file to upload returned %s, not bytes", Py_TYPE(data.ptr())->tp_name);
    }
    add_content(data);
}

void MultipartBody::add_text(std::string text) {
    Segment segment;
    segment.length = text.size();
    segment.text = std::move(text);
    total_ += segment.length;
    segments_.push_back(std::move(segment));
}

ptrdiff_t MultipartBody::read(char* out, size_t capacity) {
    size_t written = 0;
    while (written < capacity && index_ < segments_.size()) {
        const Segment& segment = segments_[index_];
        size_t left = segment.length - offset_;
        if (left == 0) {
            ++index_;
            offset_ = 0;
            continue;
        }
        size_t count = std::min(left, capacity - written);
        if (segment.file) {
            ssize_t got = pread(segment.file->get(), out + written, count,
                                segment.file_offset + static_cast<off_t>(offset_));
            if (got < 0) {
                if (errno == EINTR) continue;
                error_ = std::string("Cannot read the file to upload: ") + std::strerror(errno);
                return -1;
            }
            if (got == 0) {
                error_ = "The file to upload became shorter while it was being sent";
                return -1;
            }
            count = static_cast<size_t>(got);
        } else if (segment.buffer) {
            std::memcpy(out + written, segment.buffer->data() + segment.buffer_offset + offset_, count);
        } else {
            std::memcpy(out + written, segment.text.data() + offset_, count);
        }
        written += count;
        offset_ += count;
    }
    return static_cast<ptrdiff_t>(written);
}

bool MultipartBody::seek(size_t offset) {
    if (offset > total_) return false;
    index_ = 0;
    offset_ = 0;
    while (index_ < segments_.size() && offset >= segments_[index_].length && offset > 0) {
        offset -= segments_[index_].length;
        ++index_;
    }
    offset_ = offset;
    return true;
}

}  // namespace korvane::http
