// Multipart form bodies for `files`: preamble, file bytes and epilogue fed to libcurl in order,
// with the file read from its descriptor at the position it had when the request was made.
#pragma once
#include <nanobind/nanobind.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace korvane::http {

namespace nb = nanobind;

// A Python buffer held for the life of one upload (released with the GIL held, as Python asks).
class HeldBuffer {
public:
    explicit HeldBuffer(nb::handle exporter);
    ~HeldBuffer();
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    const char* data() const { return static_cast<const char*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// An open descriptor of our own (a duplicate), so the caller closing the file cannot pull it away.
class OwnedFd {
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd();
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Whether a file object's bytes are sent without reading it into memory: a regular file on disk
// (through a duplicate of its descriptor) or an io.BytesIO (through its own buffer). Any other
// readable object is read whole when the request is built.
bool streams_in_place(nb::handle file);

class MultipartBody {
public:
    // Builds the body from a `files` mapping (or sequence of pairs); needs the GIL.
    // Each value is an open file, an in-memory file, bytes-like or str content, or a tuple
    // (filename, content[, content_type]).
    explicit MultipartBody(nb::handle files);
    ~MultipartBody();
    MultipartBody(const MultipartBody&) = delete;
    MultipartBody& operator=(const MultipartBody&) = delete;

    const std::string& content_type() const { return content_type_; }
    size_t size() const { return total_; }

    // Copies the next bytes into `out`; returns the count (0 at the end) or -1 with error() set
    // when a file cannot be read or has shrunk, so a truncated body is never sent as whole.
    ptrdiff_t read(char* out, size_t capacity);
    // Moves the read position to `offset` from the start (libcurl rewinds to resend).
    bool seek(size_t offset);
    const std::string& error() const { return error_; }

private:
    struct Segment {
        std::string text;  // bytes we own (preambles, copied content)
        const HeldBuffer* buffer = nullptr;
        size_t buffer_offset = 0;
        const OwnedFd* file = nullptr;
        off_t file_offset = 0;
        size_t length = 0;
    };

    void add_part(nb::handle name, nb::handle value);
    void add_content(nb::handle content);
    void add_text(std::string text);

    std::string boundary_;
    std::string content_type_;
    std::vector<Segment> segments_;
    std::vector<std::unique_ptr<HeldBuffer>> buffers_;
    std::vector<std::unique_ptr<OwnedFd>> files_;
    size_t total_ = 0;
    size_t index_ = 0;   // current segment
    size_t offset_ = 0;  // position inside it
    std::string error_;
};

}  // namespace korvane::http
