// Bounded, direct-mapped cache of object key strings for the reader.
#include "json/key_cache.hpp"

#include <cstring>
#include <type_traits>

namespace korvane::json::detail {

PyObject* KeyCache::miss(Slot* slot, std::string_view bytes) {
    PyObject* str = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (!str || !slot) return str;
    PyObject* old = slot->str;
    Py_INCREF(str);
    slot->str = str;
    slot->size = static_cast<std::uint32_t>(bytes.size());
    std::memcpy(slot->bytes, bytes.data(), bytes.size());
    Py_XDECREF(old);  // last: freeing a str runs no Python code, but keep the slot whole first
    return str;
}

KeyCache& key_cache() {
    // Trivially destructible, so nothing is released after the interpreter has gone.
    static_assert(std::is_trivially_destructible_v<KeyCache>);
    static KeyCache cache;
    return cache;
}

}  // namespace korvane::json::detail
