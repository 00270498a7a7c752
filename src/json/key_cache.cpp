// Bounded, direct-mapped cache of object key strings for the reader.
#include "json/key_cache.hpp"

#include <cstring>
#include <type_traits>

namespace korvane::json::detail {

PyObject* KeyCache::get(std::string_view bytes) {
    if (bytes.size() > kMaxKeyBytes) {
        return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    }
    std::uint32_t hash = 2166136261u;  // FNV-1a: keys are short, this is cheaper than decoding
    for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    Slot& slot = slots_[(hash ^ (hash >> 16)) & (kSlots - 1)];
    if (slot.str && slot.size == bytes.size() && std::memcmp(slot.bytes, bytes.data(), bytes.size()) == 0) {
        Py_INCREF(slot.str);
        return slot.str;
    }
    PyObject* str = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (!str) return nullptr;
    PyObject* old = slot.str;
    Py_INCREF(str);
    slot.str = str;
    slot.size = static_cast<std::uint32_t>(bytes.size());
    std::memcpy(slot.bytes, bytes.data(), bytes.size());
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
