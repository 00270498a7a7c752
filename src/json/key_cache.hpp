// A small cache of str objects for object keys, which big answers repeat in every element.
#pragma once
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

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
    // Python error set.
    PyObject* get(std::string_view bytes);

private:
    struct Slot {
        PyObject* str = nullptr;  // owned
        std::uint32_t size = 0;
        char bytes[kMaxKeyBytes];
    };
    std::array<Slot, kSlots> slots_{};
};

// The process-wide cache. Its references are never released: it is bounded and lives as long
// as the interpreter can call into the module.
KeyCache& key_cache();

}  // namespace korvane::json::detail
