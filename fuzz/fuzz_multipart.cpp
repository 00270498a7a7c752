// Fuzz target: the multipart writer of uploads, against a body built by a reference in Python.
//
// Input, as text lines: the first is a shape letter for `files`; each further line a kind letter
// and "name=content" (see `entry` below). Whatever the reads and rewinds, the body must be the
// reference body byte for byte, or both must refuse the same way; a file that shrinks after the
// request was made must fail the read, never end the body early.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "http/upload.hpp"
#include "python_embed.hpp"

namespace {

namespace nb = nanobind;

constexpr const char* kHelpers = R"(
import collections.abc, io, os, tempfile

FOLDER = tempfile.mkdtemp(dir='/dev/shm' if os.access('/dev/shm', os.W_OK) else None)
opened = []      # files of the current input, closed by finish()
shrinking = []   # files that shrink after the body was made

class Reader:
    """A readable object that is not a file: read() gives `data`; with tell/seek when `seekable`."""
    def __init__(self, data, seekable):
        self.data, self.position, self.seekable = data, 0, seekable
    def read(self):
        if not self.seekable:
            return self.data
        rest = self.data[self.position:]
        self.position = len(self.data)
        return rest
    def __getattr__(self, name):
        if name in ('tell', 'seek') and self.__dict__.get('seekable'):
            return {'tell': lambda: self.position, 'seek': self._seek}[name]
        raise AttributeError(name)
    def _seek(self, position):
        self.position = position

class Mapping(collections.abc.Mapping):
    def __init__(self, pairs):
        self._items = dict(pairs)
    def __getitem__(self, key):
        return self._items[key]
    def __iter__(self):
        return iter(self._items)
    def __len__(self):
        return len(self._items)

def disk_file(content, position, buffered, shrink):
    path = os.path.join(FOLDER, 'upload data.jsonl')
    with open(path, 'wb') as f:
        f.write(content)
    f = open(path, 'r+b' if shrink else 'rb', buffering=-1 if buffered else 0)
    os.unlink(path)
    f.seek(position)
    opened.append(f)
    if shrink:
        shrinking.append(f)
    return f

def entry(line):
    """One `files` entry from a line: kind letter, then name=content."""
    kind, rest = line[:1], line[1:]
    name_bytes, _, content = rest.partition(b'=')
    name = name_bytes.decode('utf-8', 'surrogateescape')
    position = len(name_bytes) % (len(content) + 1)
    text = content.decode('utf-8', 'surrogateescape')
    pieces = content.split(b'|', 2)
    def optional(piece):
        return None if piece == b'~' else piece.decode('utf-8', 'surrogateescape')
    if kind == b's': return name, text
    if kind == b'a': return name, bytearray(content)
    if kind == b'v': return name, memoryview(content)
    if kind == b'B':
        stream = io.BytesIO(content)
        stream.seek(position)
        return name, stream
    if kind == b'p':
        stream = io.BytesIO(pieces[-1])
        stream.name = optional(pieces[0])
        return name, stream
    if kind == b'f': return name, disk_file(content, position, True, False)
    if kind == b'F': return name, disk_file(content, position, False, False)
    if kind == b'S': return name, disk_file(content, position, True, True)
    if kind == b'r': return name, Reader(content, True)
    if kind == b'R': return name, Reader(text, True)
    if kind == b'y': return name, Reader(content, False)
    if kind == b'x': return name, Reader(len(content), False)
    if kind == b'n': return name, len(content)
    if kind == b't': return name, (optional(pieces[0]), pieces[-1])
    if kind == b'l': return name, [optional(pieces[0]), text]
    if kind == b'u':
        content_type = optional(pieces[1]) if len(pieces) == 3 else None
        return name, (optional(pieces[0]), pieces[-1], content_type)
    if kind == b'1': return name, (content,)
    if kind == b'w': return (name,)
    return name, content

def decode(data):
    """The `files` argument the input describes."""
    first, _, rest = data.partition(b'\n')
    entries = [entry(line) for line in rest.split(b'\n') if line]
    shape = first[:1]
    if shape == b'p':
        return entries
    pairs = [e for e in entries if len(e) == 2]
    if shape == b'm':
        return Mapping(pairs)
    return dict(pairs)

def text_bytes(value):
    if isinstance(value, bytes):
        return value
    if not isinstance(value, str):
        value = str(value)
    return value.encode('utf-8')

def quoted(text):
    out = bytearray()
    for byte in text:
        if byte == 0x22:
            out += b'%22'
        elif byte == 0x5C:
            out += b'\\\\'
        elif byte < 0x20 and byte != 0x1B:
            out += b'%%%02X' % byte
        else:
            out.append(byte)
    return bytes(out)

def is_file_io(value):
    return isinstance(value, io.FileIO) or isinstance(getattr(value, 'raw', None), io.FileIO)

def content_of(value):
    if isinstance(value, str):
        return value.encode('utf-8')
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if not hasattr(value, 'read'):
        raise TypeError('not readable')
    if is_file_io(value):
        position = value.tell()
        size = os.fstat(value.fileno()).st_size
        return os.pread(value.fileno(), max(0, size - position), position) if size > position else b''
    if isinstance(value, io.BytesIO):
        return bytes(value.getbuffer()[value.tell():])
    data = value.read()
    if isinstance(data, str):
        return data.encode('utf-8')
    if isinstance(data, (bytes, bytearray, memoryview)):
        return bytes(data)
    raise TypeError('read() gave no bytes')

def file_name_of(value, field):
    name = getattr(value, 'name', None)
    if not isinstance(name, (str, bytes)):
        return field
    name = text_bytes(name)
    if not name or name.startswith(b'<') or name.endswith(b'>'):
        return field
    return name.rsplit(b'/', 1)[-1] or field

def body(files, boundary):
    """The body the writer must give, or the type of the exception it must raise."""
    try:
        if isinstance(files, dict) or hasattr(files, 'items'):
            items = list(files.items())
        else:
            items = files
        out = bytearray()
        for item in items:
            pair = tuple(item)
            if len(pair) != 2:
                raise ValueError('not a pair')
            field = text_bytes(pair[0])
            value = pair[1]
            file_name, content_type = None, b''
            if isinstance(value, (tuple, list)):
                parts = tuple(value)
                if not 2 <= len(parts) <= 3:
                    raise ValueError('not (filename, content[, content_type])')
                if parts[0] is not None:
                    file_name = text_bytes(parts[0])
                if len(parts) == 3 and parts[2] is not None:
                    content_type = text_bytes(parts[2])
                    if b'\r' in content_type or b'\n' in content_type:
                        raise ValueError('line break in a content type')
                value = parts[1]
            else:
                file_name = file_name_of(value, field)
            out += b'--' + boundary + b'\r\nContent-Disposition: form-data; name="' + quoted(field) + b'"'
            if file_name is not None:
                out += b'; filename="' + quoted(file_name) + b'"'
            out += b'\r\n'
            if content_type:
                out += b'Content-Type: ' + content_type + b'\r\n'
            out += b'\r\n' + content_of(value) + b'\r\n'
        out += b'--' + boundary + b'--\r\n'
        return bytes(out)
    except Exception as error:
        return type(error)

def shrink(files):
    """Cuts the shrinking files short; True when one of them is sent and had bytes left to send."""
    if isinstance(files, list):
        sent = [entry[1] for entry in files if len(entry) == 2]
    else:
        sent = list(files.values())
    cut = False
    for f in shrinking:
        if any(f is value for value in sent) and os.fstat(f.fileno()).st_size > f.tell():
            cut = True
        os.ftruncate(f.fileno(), 0)
    return cut

def finish():
    for f in opened:
        f.close()
    opened.clear()
    shrinking.clear()
)";

PyObject* g_decode;
PyObject* g_body;
PyObject* g_shrink;
PyObject* g_finish;

nb::object call(PyObject* function, nb::handle a = nb::handle(), nb::handle b = nb::handle()) {
    nb::object result = nb::steal(PyObject_CallFunctionObjArgs(function, a.ptr(), b.ptr(), nullptr));
    FUZZ_CHECK_PY(result.is_valid());
    return result;
}

std::string_view view(nb::handle bytes) {
    return {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

// The body from `from` on, in reads of changing length; false when a read failed.
bool read_all(korvane::http::MultipartBody& body, std::size_t from, std::uint32_t seed, std::string& out) {
    FUZZ_CHECK(body.seek(from));
    char chunk[4096];
    for (;;) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t capacity = 1 + (seed >> 16) % sizeof chunk;
        const std::ptrdiff_t got = body.read(chunk, capacity);
        if (got < 0) return false;
        FUZZ_CHECK(static_cast<std::size_t>(got) <= capacity);
        if (got == 0) return true;
        out.append(chunk, static_cast<std::size_t>(got));
    }
}

void check(nb::handle files, std::uint32_t seed) {
    std::unique_ptr<korvane::http::MultipartBody> made;
    try {
        made = std::make_unique<korvane::http::MultipartBody>(files);
    } catch (nb::python_error& error) {
        nb::object expected = call(g_body, files, nb::bytes("", 0));
        FUZZ_CHECK(PyType_Check(expected.ptr()));
        FUZZ_CHECK(error.matches(expected));
        return;
    }
    const std::string& type = made->content_type();
    constexpr std::string_view kPrefix = "multipart/form-data; boundary=";
    FUZZ_CHECK(type.starts_with(kPrefix));
    const std::string boundary = type.substr(kPrefix.size());
    FUZZ_CHECK(!boundary.empty());
    nb::object expected = call(g_body, files, nb::bytes(boundary.data(), boundary.size()));
    FUZZ_CHECK(PyBytes_Check(expected.ptr()));
    const std::string_view want = view(expected);
    FUZZ_CHECK(made->size() == want.size());

    if (call(g_shrink, files).ptr() == Py_True) {
        std::string out;
        FUZZ_CHECK(!read_all(*made, 0, seed, out));
        FUZZ_CHECK(made->error() == "The file to upload became shorter while it was being sent");
        FUZZ_CHECK(want.starts_with(out));
        return;
    }
    // The whole body, then again from a few places, as libcurl rewinds to send it again.
    const std::size_t starts[] = {0, want.size() / 2, seed % (want.size() + 1), want.size()};
    for (std::size_t from : starts) {
        std::string out;
        FUZZ_CHECK(read_all(*made, from, seed + static_cast<std::uint32_t>(from), out));
        FUZZ_CHECK(out == want.substr(from));
    }
    FUZZ_CHECK(!made->seek(want.size() + 1));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_python();
    PyObject* helpers = fuzz::load_helpers(kHelpers);
    g_decode = fuzz::helper(helpers, "decode");
    g_body = fuzz::helper(helpers, "body");
    g_shrink = fuzz::helper(helpers, "shrink");
    g_finish = fuzz::helper(helpers, "finish");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint32_t seed = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
    {
        nb::object files = call(g_decode, nb::bytes(data, size));
        check(files, seed);
    }
    call(g_finish);
    return 0;
}
