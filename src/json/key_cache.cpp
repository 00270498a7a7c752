// Bounded, direct-mapped cache of object key strings for the reader.
#include "json/key_cache.hpp"

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "util/bytes.hpp"

namespace korvane::json::detail {

PyObject* KeyCache::get(std::string_view bytes) {
    if (bytes.size() > kMaxKeyBytes) {
        return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    }
    // The slot comes from the length and three of the bytes: no loop and no word loads over
    // bytes of unknown length. Keys that share these merely take turns in one slot.
    const std::size_t size = bytes.size();
    const auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[i])); };
    const std::size_t mix = size == 0 ? 0 : size * 0x9E37 + byte(0) * 0x3B + byte(size / 2) * 0x61 + byte(size - 1);
    Slot& slot = slots_[(mix ^ (mix >> 9)) & (kSlots - 1)];
    if (slot.str && slot.size == bytes.size() && util::same_bytes(slot.bytes, bytes.data(), bytes.size())) {
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
