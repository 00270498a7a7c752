// Bounded, direct-mapped cache of object key strings for the reader.
#include "json/key_cache.hpp"

#include <cstring>
#include <type_traits>

namespace korvane::json::detail {

PyObject* KeyCache::get(std::string_view bytes) {
    if (bytes.size() > kMaxKeyBytes) {
        return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    }
    // Keys are short: their first and last eight bytes (overlapping for short keys) and their
    // length make the slot, with no loop over the bytes.
    std::uint64_t head = 0, tail = 0;
    if (bytes.size() >= 8) {
        std::memcpy(&head, bytes.data(), 8);
        std::memcpy(&tail, bytes.data() + bytes.size() - 8, 8);
    } else {
        std::memcpy(&head, bytes.data(), bytes.size());
    }
    std::uint64_t hash = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ bytes.size();
    hash ^= hash >> 29;
    Slot& slot = slots_[(hash ^ (hash >> 41)) & (kSlots - 1)];
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
