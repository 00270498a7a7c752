// A small cache of str objects for object keys, which big answers repeat in every element.
#pragma once
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/bytes.hpp"

namespace korvane::json::detail {

// Direct-mapped and bounded: at most kSlots keys of up to kMaxKeyBytes are kept alive, so a
// stream of ever-new keys costs a miss each, never unbounded memory. Keys are deliberately not
// interned: interned strings live for the rest of the process. Guarded by the GIL; safe against
// re-entry because every step that can run other code leaves the slot consistent.
class KeyCache {
public:
    static constexpr std::size_t kSlots = 512;
    static constexpr std::size_t kMaxKeyBytes = 48;

    // A new reference to the str for `bytes` (escape-free, valid UTF-8), or nullptr with a
    // Python error set. The hit path is inline: keys are looked up for every member read.
    PyObject* get(std::string_view bytes) {
        const std::size_t size = bytes.size();
        if (size == 0 || size > kMaxKeyBytes) return miss(nullptr, bytes);
        // The slot comes from the length and three of the bytes: no loop and no word loads over
        // bytes of unknown length. Keys that share these merely take turns in one slot.
        const auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[i])); };
        const std::size_t mix = size * 0x9E37 + byte(0) * 0x3B + byte(size / 2) * 0x61 + byte(size - 1);
        Slot& slot = slots_[(mix ^ (mix >> 9)) & (kSlots - 1)];
        if (slot.str && slot.size == size && util::same_bytes(slot.bytes, bytes.data(), size)) {
            Py_INCREF(slot.str);
            return slot.str;
        }
        return miss(&slot, bytes);
    }

private:
    struct Slot {
        PyObject* str = nullptr;  // owned
        std::uint32_t size = 0;
        char bytes[kMaxKeyBytes];
    };
    // Makes the str, kept in `slot` when there is one.
    PyObject* miss(Slot* slot, std::string_view bytes);

    std::array<Slot, kSlots> slots_{};
};

// The process-wide cache. Its references are never released: it is bounded and lives as long
// as the interpreter can call into the module.
KeyCache& key_cache();

}  // namespace korvane::json::detail
