// Fuzz target: query encoding of `params` into a request URL, against urllib's urlencode.
//
// Input, as text lines: the first is a shape letter and the URL; each further line a kind letter
// and "name=value" (see `decode` below). A Python helper builds the params from them and the URL
// the encoding must give, or the exception it must raise.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "http/url.hpp"
#include "python_embed.hpp"

namespace {

namespace nb = nanobind;

constexpr const char* kHelpers = R"(
import collections.abc, re, urllib.parse

class Refuses:
    """A value whose text form fails."""
    def __str__(self):
        raise RuntimeError('no text form')

class Mapping(collections.abc.Mapping):
    """A mapping that is not a dict."""
    def __init__(self, pairs):
        self._items = dict(pairs)
    def __getitem__(self, key):
        return self._items[key]
    def __iter__(self):
        return iter(self._items)
    def __len__(self):
        return len(self._items)

def number(text, kind):
    try:
        return kind(text)
    except ValueError:
        return kind(len(text))

def field(line):
    """One params entry from a line: kind letter, then name=value."""
    kind, rest = line[:1], line[1:]
    name, _, value = rest.partition(b'=')
    text = value.decode('utf-8', 'surrogateescape')   # invalid UTF-8: a str with no UTF-8 form
    key = name.decode('utf-8', 'surrogateescape')
    if kind == b's': return key, text
    if kind == b'b': return key, value
    if kind == b'i': return key, number(text, int)
    if kind == b'f': return key, number(text, float)
    if kind == b'n': return key, None
    if kind == b'T': return key, True
    if kind == b'F': return key, False
    if kind == b'l': return key, [None if part == '~' else part for part in text.split(',')]
    if kind == b't': return key, tuple(value.split(b','))
    if kind == b'e': return key, Refuses()
    if kind == b'k': return number(key, int), text
    if kind == b'w': return text[:2]                     # a two-letter str taken as a pair
    if kind == b'x': return key, text, text              # three items: not a pair
    return key.encode('utf-8', 'surrogateescape'), value

def text_bytes(value):
    if isinstance(value, bytes):
        return value
    if not isinstance(value, str):
        value = str(value)
    return value.encode('utf-8')

def encoded(params):
    if isinstance(params, dict) or (isinstance(params, collections.abc.Mapping) and hasattr(params, 'items')):
        items = list(params.items())
    else:
        items = params
    flat = []
    for item in items:
        pair = tuple(item)
        if len(pair) != 2:
            raise ValueError('not a pair')
        name, value = pair
        if value is None:
            continue
        if isinstance(value, (str, bytes)) or not hasattr(value, '__iter__'):
            flat.append((text_bytes(name), text_bytes(value)))
        else:
            for element in value:
                if element is not None:
                    flat.append((text_bytes(name), text_bytes(element)))
    return urllib.parse.urlencode(flat).encode('ascii')

_RAW = re.compile(rb"[A-Za-z0-9\-._~!#$&'()*+,/:;=?@\[\]]")
_ESCAPE = re.compile(rb'%[0-9A-Fa-f]{2}')

def escaped(text):
    out = bytearray()
    for i in range(len(text)):
        byte = text[i:i + 1]
        if byte == b'%':
            out += b'%' if _ESCAPE.match(text, i) else b'%25'
        elif _RAW.match(byte):
            out += byte
        else:
            out += b'%%%02X' % byte[0]
    return bytes(out)

def with_query(url, query):
    if not query:
        return url
    scheme = url.find(b'://')
    fragment = url.find(b'#', 0 if scheme < 0 else scheme + 3)
    end = len(url) if fragment < 0 else fragment
    before = url[:end]
    separator = b'?' if b'?' not in before else (b'' if before.endswith((b'?', b'&')) else b'&')
    return before + separator + query + url[end:]

def decode(data):
    """(url, params, the URL with the query, or the exception type it must raise)."""
    first, _, rest = data.partition(b'\n')
    shape, url = first[:1], first[1:]
    if shape == b's':
        params = rest.decode('utf-8', 'surrogateescape')
    elif shape == b'b':
        params = rest
    elif shape == b'N':
        params = None
    else:
        fields = [field(line) for line in rest.split(b'\n') if line]
        if shape == b'p':
            params = fields
        elif shape == b'g':
            params = iter(fields)
        elif shape == b'm':
            params = Mapping(f for f in fields if len(f) == 2 and not isinstance(f[0], bytes))
        else:
            params = {f[0]: f[1] for f in fields if len(f) == 2}
    expected_params = list(params) if shape == b'g' else params
    if shape == b'g':
        params = iter(expected_params)
    try:
        if params is None:
            query = b''
        elif isinstance(params, (str, bytes)):
            query = escaped(text_bytes(params))
        else:
            query = encoded(expected_params)
        expected = with_query(url, query)
    except Exception as error:
        expected = type(error)
    return url, params, expected
)";

PyObject* g_decode;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_python();
    g_decode = fuzz::helper(fuzz::load_helpers(kHelpers), "decode");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nb::bytes input(data, size);
    nb::object decoded = nb::steal(PyObject_CallOneArg(g_decode, input.ptr()));
    FUZZ_CHECK_PY(decoded.is_valid());
    nb::handle url_bytes = PyTuple_GET_ITEM(decoded.ptr(), 0);
    nb::handle params = PyTuple_GET_ITEM(decoded.ptr(), 1);
    nb::handle expected = PyTuple_GET_ITEM(decoded.ptr(), 2);

    std::string url(PyBytes_AS_STRING(url_bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(url_bytes.ptr())));
    try {
        korvane::http::append_query(url, params);
    } catch (nb::python_error& error) {
        FUZZ_CHECK(PyType_Check(expected.ptr()));
        FUZZ_CHECK(error.matches(expected));
        return 0;
    }
    FUZZ_CHECK(PyBytes_Check(expected.ptr()));
    FUZZ_CHECK(url == std::string_view(PyBytes_AS_STRING(expected.ptr()),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(expected.ptr()))));
    return 0;
}
