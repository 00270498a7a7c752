// Putting a streamed chat completion back together: each chunk merged into the answer a whole call
// would have given (content per choice index, role, finish reasons, tool-call fragments by index,
// the chunk members the chunk record does not keep), and the text deltas of one choice.
#include "api/chat/stream_assembly.hpp"

#include <nanobind/stl/string_view.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/chat/chunk_members.hpp"
#include "api/chat/completions.hpp"
#include "api/chat/sse_line.hpp"
#include "json/json.hpp"
#include "py/guard.hpp"
#include "py/raise.hpp"

namespace korvane::api {
namespace {

// Below this depth dicts and lists of a delta are merged member by member; deeper values replace
// what was there (kept by reference, never changed), so hostile nesting costs no deep recursion.
constexpr int kMergeDepth = 32;

// A copy of a JSON value whose dicts and lists (down to kMergeDepth) are the assembly's own, so
// merging into it never changes a chunk the caller holds. Texts and numbers are immutable.
nb::object owned_copy(nb::handle value, int depth) {
    PyObject* raw = value.ptr();
    if (depth < kMergeDepth && PyDict_CheckExact(raw)) {
        nb::dict out;
        Py_ssize_t pos = 0;
        PyObject *key, *member;
        while (PyDict_Next(raw, &pos, &key, &member)) {
            if (PyDict_SetItem(out.ptr(), key, owned_copy(member, depth + 1).ptr()) < 0) throw nb::python_error();
        }
        return out;
    }
    if (depth < kMergeDepth && PyList_CheckExact(raw)) {
        nb::list out;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); ++i)
            out.append(owned_copy(PyList_GET_ITEM(raw, i), depth + 1));
        return out;
    }
    return nb::borrow(value);
}

void set_member(PyObject* dict, PyObject* key, nb::handle value) {
    if (PyDict_SetItem(dict, key, value.ptr()) < 0) throw nb::python_error();
}

// The member names the assembly looks at, interned once. Kept for the process (never released):
// one strong reference each, made at the first assembly, read-only after.
struct Names {
    PyObject *index, *delta, *finish_reason, *type, *id, *role, *name, *content, *choice, *object, *created, *model,
        *choices;
};

const Names& names() {
    static const Names kept = [] {
        auto intern = [](const char* text) {
            PyObject* name = PyUnicode_InternFromString(text);
            if (!name) throw nb::python_error();
            return name;
        };
        return Names{intern("index"),   intern("delta"), intern("finish_reason"), intern("type"),   intern("id"),
                     intern("role"),    intern("name"),  intern("content"),       intern("choice"), intern("object"),
                     intern("created"), intern("model"), intern("choices")};
    }();
    return kept;
}

// A key object found equal to a name, so that the same object matches at once the next time: the
// keys of a stream's chunks are usually the same objects (the reader shares them). Kept for the
// process: each slot holds one strong reference to its name and one to its key, replaced when
// another pair takes the slot (holding both keeps the pointers compared from being reused).
struct KnownKey {
    PyObject* name = nullptr;
    PyObject* key = nullptr;
};
#ifndef Py_GIL_DISABLED
std::array<KnownKey, 16> g_known_keys;  // read and written with the GIL held only
#endif

// Whether `key` is the interned `name`: the same object, else equal text. Texts of equal length
// are told apart by their hashes (a dict key's is computed already) before they are compared.
bool key_is(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name)) return false;
    const bool exact = PyUnicode_CheckExact(key) && PyUnicode_CheckExact(name);
#ifndef Py_GIL_DISABLED
    KnownKey& known = g_known_keys[(reinterpret_cast<std::uintptr_t>(name) >> 4) % g_known_keys.size()];
    if (known.key == key && known.name == name) return true;
#endif
    if (exact) {
        Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1) throw nb::python_error();
        if (hash != PyObject_Hash(name)) return false;
    }
    if (PyUnicode_Compare(key, name) != 0) return false;
#ifndef Py_GIL_DISABLED
    if (exact) {
        Py_XSETREF(known.name, Py_NewRef(name));
        Py_XSETREF(known.key, Py_NewRef(key));
    }
#endif
    return true;
}

// `dict[name]` (borrowed), or nullptr when absent; raises what the lookup raised.
PyObject* member(PyObject* dict, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(dict, name);
    if (!found && PyErr_Occurred()) throw nb::python_error();
    return found;
}

// Members that name a thing rather than carry a piece of it: a repeat replaces, never appends
// ("assistantassistant" when a platform sends the role in every chunk).
bool names_a_thing(PyObject* key) {
    const Names& n = names();
    return key_is(key, n.index) || key_is(key, n.type) || key_is(key, n.id) || key_is(key, n.role);
}

// Appends `piece` to the text under `key`, in place once the assembly holds the only reference
// (the dict's slot is emptied while appending), so a long answer costs linear time.
void append_text(PyObject* dict, PyObject* key, PyObject* current, PyObject* piece) {
    if (PyUnicode_GET_LENGTH(piece) == 0) return;
    PyObject* text = Py_NewRef(current);
    if (PyDict_SetItem(dict, key, Py_None) < 0) {
        Py_DECREF(text);
        throw nb::python_error();
    }
    PyUnicode_Append(&text, piece);  // steals `text`; a new object when it is shared
    if (!text) throw nb::python_error();
    int failed = PyDict_SetItem(dict, key, text);
    Py_DECREF(text);
    if (failed < 0) throw nb::python_error();
}

// The pieces of text waiting to be appended to one member, `dict[key]`: a stream's text comes in
// many small pieces, and appending each to a growing text costs more than keeping it and joining a
// batch. What dict[key] stands for is its text followed by the pieces: every step that would read
// or replace that member flushes first (merge_member), and so does whoever reads the whole
// (StreamAssembly::answer). Owner rule: holds strong references to the dict, the key and the
// pieces; owned by its assembly, emptied at each flush.
struct TextTail {
    // Pieces kept before they are joined, so their objects never outnumber this however long the
    // stream (memory stays flat).
    static constexpr Py_ssize_t kMaxPieces = 64;
    nb::object dict, key;
    nb::list pieces;

    // Whether the pieces wait for into[name]: the same dict, and the same key or an equal one.
    bool holds(PyObject* into, PyObject* name) const;

    void flush() {
        if (!dict.is_valid()) return;
        nb::object into = std::move(dict), name = std::move(key);
        dict.reset();
        key.reset();
        nb::object joined = nb::steal(PyUnicode_Join(chat_names().empty.ptr(), pieces.ptr()));
        if (PyList_SetSlice(pieces.ptr(), 0, PyList_GET_SIZE(pieces.ptr()), nullptr) < 0) throw nb::python_error();
        if (!joined.is_valid()) throw nb::python_error();
        PyObject* current = PyDict_GetItemWithError(into.ptr(), name.ptr());  // borrowed
        if (!current) {
            if (PyErr_Occurred()) throw nb::python_error();
            return;  // cannot be: the member is only replaced after a flush
        }
        append_text(into.ptr(), name.ptr(), current, joined.ptr());
    }

    // Keeps `piece` for dict[key] (the member's text now), flushing what another member waits for.
    void add(PyObject* into, PyObject* name, PyObject* piece) {
        if (PyUnicode_GET_LENGTH(piece) == 0) return;
        if (!holds(into, name)) {
            flush();
            dict = nb::borrow(into);
            key = nb::borrow(name);
        }
        if (PyList_Append(pieces.ptr(), piece) < 0) throw nb::python_error();
        if (PyList_GET_SIZE(pieces.ptr()) >= kMaxPieces) flush();
    }
};

bool TextTail::holds(PyObject* into, PyObject* name) const {
    return dict.is_valid() && dict.ptr() == into && key_is(name, key.ptr());
}

void merge_dict(PyObject* into, PyObject* delta, int depth, TextTail& tail);

// A list member: items that carry an integer "index" (tool-call fragments) merge into the item of
// the same index; anything else is appended.
void merge_list(PyObject* into, PyObject* delta, int depth, TextTail& tail) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(delta); ++i) {
        PyObject* item = PyList_GET_ITEM(delta, i);
        PyObject* index = PyDict_Check(item) ? member(item, names().index) : nullptr;  // borrowed
        PyObject* same = nullptr;
        if (index && PyLong_Check(index)) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(into) && !same; ++j) {
                PyObject* held = PyList_GET_ITEM(into, j);
                if (!PyDict_Check(held)) continue;
                PyObject* held_index = member(held, names().index);
                if (held_index && PyLong_Check(held_index)) {
                    int equal = PyObject_RichCompareBool(held_index, index, Py_EQ);
                    if (equal < 0) throw nb::python_error();
                    if (equal) same = held;
                }
            }
        }
        if (same) {
            merge_dict(same, item, depth + 1, tail);
        } else if (PyList_Append(into, owned_copy(item, depth + 1).ptr()) < 0) {
            throw nb::python_error();
        }
    }
}

// One member of a delta merged into the assembly's dict `into`: texts append, dicts merge, lists
// merge by index or append, null never erases, anything else replaces.
void merge_member(PyObject* into, PyObject* key, PyObject* value, int depth, TextTail& tail) {
    PyObject* current = PyDict_GetItemWithError(into, key);  // borrowed
    if (!current) {
        if (PyErr_Occurred()) throw nb::python_error();
        set_member(into, key, owned_copy(value, depth + 1));
        return;
    }
    if (value == Py_None) return;
    const bool merges = current != Py_None && depth < kMergeDepth && !names_a_thing(key);
    if (merges && PyUnicode_CheckExact(current) && PyUnicode_Check(value)) {
        // A function's name comes whole; a platform repeating it in every fragment must not double it.
        if (key_is(key, names().name)) {
            if (tail.holds(into, key)) tail.flush();
            if (PyUnicode_Compare(current, value) == 0) return;
            append_text(into, key, current, value);
            return;
        }
        tail.add(into, key, value);
    } else if (merges && PyDict_CheckExact(current) && PyDict_Check(value)) {
        merge_dict(current, value, depth + 1, tail);
    } else if (merges && PyList_CheckExact(current) && PyList_Check(value)) {
        merge_list(current, value, depth + 1, tail);
    } else {
        if (tail.holds(into, key)) tail.flush();              // what it waits for goes with the text it replaces
        set_member(into, key, owned_copy(value, depth + 1));  // replaces
    }
}

void merge_dict(PyObject* into, PyObject* delta, int depth, TextTail& tail) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(delta, &pos, &key, &value)) merge_member(into, key, value, depth, tail);
}

// ---- the members of a chunk's JSON object that its record does not keep ----------------------

bool is_record_field(std::string_view key) {
    return key == "id" || key == "object" || key == "created" || key == "model" || key == "choices";
}

// Calls found(key, value) for each member of the JSON object `data` that is not a chunk record's
// field, both decoded. `data` was read as a chunk already, so it is a valid object. Gives where the
// value of "choices" starts when every member before it is a field written plainly (no escapes),
// else npos: the lines of one stream usually repeat those bytes (see StreamAssembly::add).
template <class Found>
std::size_t for_each_unkept_member(std::string_view data, Found found) {
    std::size_t choices_at = std::string_view::npos;
    bool plain_so_far = true;
    walk_object_members(data, [&](std::string_view quoted, std::string_view value) {
        std::string_view raw_key = quoted.substr(1, quoted.size() - 2);
        bool escaped = raw_key.find('\\') != std::string_view::npos;
        if (!escaped && is_record_field(raw_key)) {
            if (plain_so_far && raw_key == "choices" && choices_at == std::string_view::npos)
                choices_at = static_cast<std::size_t>(value.data() - data.data());
            return;
        }
        plain_so_far = false;
        nb::object key = json::parse_text(quoted);
        if (escaped) {  // compared as text: a key may hold a lone surrogate, which has no UTF-8 form
            const Names& n = names();
            for (PyObject* field : {n.id, n.object, n.created, n.model, n.choices}) {
                if (key_is(key.ptr(), field)) return;
            }
        }
        found(key, json::parse_text(value));
    });
    return choices_at;
}

// ---- the assembly ----------------------------------------------------------------------------

struct ChoiceEntry {
    long long index;
    nb::dict message;          // the deltas merged
    nb::object finish_reason;  // the last one given (None until then)
    nb::dict other;            // the choice's other members (logprobs, ...), merged
};

// The position of a choice in a chunk stands in for a missing or non-integer "index".
long long choice_index(PyObject* choice, Py_ssize_t position) {
    PyObject* index = member(choice, names().index);  // borrowed
    if (index && PyLong_Check(index) && !PyBool_Check(index)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
        if (!overflow && !(value == -1 && PyErr_Occurred())) return value;
        PyErr_Clear();
    }
    return position;
}

// Owner rule: holds strong references to JSON values only (its own copies of the deltas, the
// chunks' texts and numbers) and the requested model; never its stream, so it makes no cycle.
// A stream owns its assembly for its whole life (it outlives the stream's end on purpose).
class StreamAssembly {
public:
    explicit StreamAssembly(nb::object model) : requested_model_(std::move(model)) {}

    void add(nb::handle chunk, std::string_view line) {
        ++chunks_;
        const Names& n = names();
        take_first(id_, chunk, n.id);
        take_first(created_, chunk, n.created);
        take_first(model_, chunk, n.model);
        nb::object choices = nb::getattr(chunk, n.choices);
        if (PyList_Check(choices.ptr())) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(choices.ptr()); ++i) {
                PyObject* choice = PyList_GET_ITEM(choices.ptr(), i);
                if (PyDict_Check(choice)) add_choice(choice, i);
            }
        }
        ClassifiedLine classified = classify_sse_line(line);
        if (classified.kind != SseLine::data) return;
        add_unkept_members(classified.data);
    }

    // The answer a whole call would have given, as its JSON object: id, object, created and model
    // of the chunks, one choice per index (in index order) with the merged message, finish_reason
    // and other members, then the chunks' other members (usage, ...). A new object at each call.
    nb::dict answer() {
        tail_.flush();
        const ChatNames& k = chat_names();
        nb::dict out;
        if (id_.is_valid()) out[k.id] = id_;
        out[k.object] = k.chat_completion;
        if (created_.is_valid()) out[k.created] = created_;
        if (model_.is_valid()) out[k.model] = model_;
        std::vector<const ChoiceEntry*> ordered;
        for (const ChoiceEntry& entry : choices_) ordered.push_back(&entry);
        std::stable_sort(ordered.begin(), ordered.end(),
                         [](const ChoiceEntry* a, const ChoiceEntry* b) { return a->index < b->index; });
        nb::list choices;
        for (const ChoiceEntry* entry : ordered) {
            nb::dict choice;
            choice[k.index] = nb::int_(entry->index);
            choice[k.message] = owned_copy(entry->message, 0);
            choice[k.finish_reason] = entry->finish_reason;
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(entry->other.ptr(), &pos, &key, &value)) {
                set_member(choice.ptr(), key, owned_copy(value, 0));
            }
            choices.append(choice);
        }
        out[k.choices] = choices;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(extras_.ptr(), &pos, &key, &value)) set_member(out.ptr(), key, owned_copy(value, 0));
        return out;
    }

    // The ChatCompletion record of answer(), read by the rules of a whole answer. A message whose
    // role or content never came (or came only as null, as with tool calls) gets the record's
    // defaults, "assistant" and "", rather than failing on null.
    nb::object completion() {
        const ChatNames& k = chat_names();
        nb::dict whole = answer();
        nb::object choices = whole[k.choices];
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(choices.ptr()); ++i) {
            PyObject* message = PyDict_GetItem(PyList_GET_ITEM(choices.ptr(), i), k.message.ptr());
            for (nb::handle name : {k.role, k.content}) {
                PyObject* value = PyDict_GetItem(message, name.ptr());
                if (value == Py_None && PyDict_DelItem(message, name.ptr()) < 0) throw nb::python_error();
            }
        }
        nb::dict payload;
        payload[k.model] = requested_model_;
        return completion_from_answer(whole, payload);
    }

    size_t chunks() const { return chunks_; }

private:
    // The members of the chunk's JSON text `data` that its record does not keep, merged into
    // extras_. Walking every member of every line is most of what assembling costs, so a line that
    // opens with the same bytes as an earlier line made only of record fields (up to the value of
    // "choices") and ends with that value is known to hold nothing else: only the value is skipped.
    void add_unkept_members(std::string_view data) {
        if (!plain_opening_.empty() && data.size() > plain_opening_.size() &&
            data.compare(0, plain_opening_.size(), plain_opening_) == 0 &&
            is_last_member_value(data, plain_opening_.size())) {
            return;
        }
        bool unkept = false;
        std::size_t choices_at = for_each_unkept_member(data, [this, &unkept](nb::handle key, nb::handle value) {
            unkept = true;
            // The last non-null value wins (usage comes with the last chunk, null before it).
            if (value.is_none() && extras_.contains(key)) return;
            extras_[key] = value;
        });
        // Only a line of record fields alone becomes the opening to compare with: another line
        // with the same opening still has its end checked for more members.
        if (!unkept && choices_at != std::string_view::npos && choices_at <= kMaxOpening)
            plain_opening_.assign(data.substr(0, choices_at));
    }

    // The first value that is not the record's default for an absent member ("" or 0).
    static void take_first(nb::object& slot, nb::handle chunk, PyObject* name) {
        if (slot.is_valid()) return;
        nb::object value = nb::getattr(chunk, name);
        if (value.is_none()) return;
        int truth = PyObject_IsTrue(value.ptr());
        if (truth < 0) throw nb::python_error();
        if (truth) slot = std::move(value);
    }

    ChoiceEntry& entry_for(long long index) {
        for (ChoiceEntry& entry : choices_) {
            if (entry.index == index) return entry;
        }
        choices_.push_back(ChoiceEntry{index, nb::dict(), nb::none(), nb::dict()});
        return choices_.back();
    }

    void add_choice(PyObject* choice, Py_ssize_t position) {
        ChoiceEntry& entry = entry_for(choice_index(choice, position));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(choice, &pos, &key, &value)) {
            const Names& n = names();
            if (key_is(key, n.index)) continue;
            if (key_is(key, n.delta)) {
                if (PyDict_Check(value)) merge_dict(entry.message.ptr(), value, 1, tail_);
            } else if (key_is(key, n.finish_reason)) {
                if (value != Py_None) entry.finish_reason = nb::borrow(value);
            } else {
                merge_member(entry.other.ptr(), key, value, 1, tail_);
            }
        }
    }

    nb::object requested_model_;
    nb::object id_, created_, model_;
    std::vector<ChoiceEntry> choices_;
    TextTail tail_;  // texts waiting to be appended (see TextTail)
    nb::dict extras_;
    size_t chunks_ = 0;
    // The bytes of a line of record fields alone, up to the value of "choices" (see
    // add_unkept_members); kept short, so an odd stream cannot make it large.
    static constexpr std::size_t kMaxOpening = 512;
    std::string plain_opening_;
};

// The non-empty content texts a chunk carries for the choice of `index`, in order.
nb::list texts_of(nb::handle chunk, long long index) {
    nb::list texts;
    const Names& n = names();
    nb::object choices = nb::getattr(chunk, n.choices);
    if (!PyList_Check(choices.ptr())) return texts;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(choices.ptr()); ++i) {
        PyObject* choice = PyList_GET_ITEM(choices.ptr(), i);
        if (!PyDict_Check(choice) || choice_index(choice, i) != index) continue;
        PyObject* delta = member(choice, n.delta);
        PyObject* content = delta && PyDict_Check(delta) ? member(delta, n.content) : nullptr;
        if (content && PyUnicode_Check(content) && PyUnicode_GET_LENGTH(content) > 0) texts.append(nb::handle(content));
    }
    return texts;
}

// The text deltas of one choice of a blocking stream, pulled from it as they are asked for.
// Owner rule: holds its stream strongly (the stream never refers back); `pending` holds the texts
// of the chunk read last.
struct TextDeltas {
    nb::object stream;
    long long index;
    nb::list pending;
    Py_ssize_t next = 0;

    nb::object pull() {
        while (next >= static_cast<Py_ssize_t>(pending.size())) {
            nb::object chunk = nb::steal(PyIter_Next(stream.ptr()));
            if (!chunk.is_valid()) {
                if (PyErr_Occurred()) throw nb::python_error();
                throw nb::stop_iteration();
            }
            pending = texts_of(chunk, index);
            next = 0;
        }
        return pending[next++];
    }
};

AssemblyOf g_assembly_of = nullptr;

StreamAssembly& assembly_of(nb::handle stream) {
    nb::handle assembly = g_assembly_of(stream);
    if (!assembly.is_valid()) py::raise_text(PyExc_RuntimeError, "the stream was cleared");
    return nb::cast<StreamAssembly&>(assembly);
}

// Reads the rest of a stream (nothing when it is over or was closed): its chunks go to its assembly.
void drain(nb::handle stream) {
    for (;;) {
        nb::object chunk = nb::steal(PyIter_Next(stream.ptr()));
        if (chunk.is_valid()) continue;
        if (PyErr_Occurred()) throw nb::python_error();
        return;
    }
}

PyObject* text_deltas_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nargs + keywords > 1 || (keywords == 1 && !key_is(PyTuple_GET_ITEM(kwnames, 0), names().choice))) {
            py::raise_text(PyExc_TypeError, "text_deltas() takes one argument, choice");
        }
        PyObject* choice = nargs + keywords == 1 ? args[0] : nullptr;
        if (choice && !PyLong_Check(choice)) {
            py::raise(PyExc_TypeError, "choice must be an int, not %s", Py_TYPE(choice)->tp_name);
        }
        long long index = choice ? PyLong_AsLongLong(choice) : 0;
        if (index == -1 && PyErr_Occurred()) throw nb::python_error();
        assembly_of(self);  // refuses what is not a stream
        return nb::cast(TextDeltas{nb::borrow(self), index, nb::list()}, nb::rv_policy::move).release().ptr();
    });
}

PyObject* final_completion_method(PyObject* self, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        StreamAssembly& assembly = assembly_of(self);
        drain(self);
        return assembly.completion().release().ptr();
    });
}

PyObject* final_answer_method(PyObject* self, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        StreamAssembly& assembly = assembly_of(self);
        drain(self);
        return assembly.answer().release().ptr();
    });
}

// Kept for the process: the descriptors made from them point here.
PyMethodDef g_helper_methods[] = {
    {"text_deltas", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(text_deltas_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "text_deltas($self, /, choice=0)\n--\n\nThe content texts of one choice as they arrive (empty deltas left out); "
     "reading them reads the stream, so its chunks still count for get_final_completion()."},
    {"get_final_completion", final_completion_method, METH_NOARGS,
     "get_final_completion($self, /)\n--\n\nThe ChatCompletion assembled from the chunks: the rest of the stream is "
     "read first (nothing more when it ended or was closed early: then it holds what was read). Content is joined "
     "per choice index, the role and finish_reason kept, and the chunks' usage, rerank_tier and quantum_enhanced "
     "taken when the platform sent them."},
    {"get_final_answer", final_answer_method, METH_NOARGS,
     "get_final_answer($self, /)\n--\n\nThe assembled answer as its JSON object, shaped as a whole answer is: the "
     "rest of the stream is read first. Holds what the record leaves out, such as tool_calls merged by index."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool is_stream_assembly(nb::handle object) { return nb::isinstance<StreamAssembly>(object); }

nb::object new_stream_assembly(nb::handle payload) {
    nb::object model = nb::none();
    if (PyDict_Check(payload.ptr())) {
        PyObject* found = PyDict_GetItemWithError(payload.ptr(), chat_names().model.ptr());
        if (!found && PyErr_Occurred()) throw nb::python_error();
        if (found) model = nb::borrow(found);
    }
    return nb::cast(StreamAssembly(std::move(model)), nb::rv_policy::move);
}

void assemble_chunk(nb::handle assembly, nb::handle chunk, std::string_view line) {
    if (!assembly.is_valid() || assembly.is_none()) return;
    // Only assemblies reach here (the stream made it; _async_chunks checks what it is given).
    nb::inst_ptr<StreamAssembly>(assembly)->add(chunk, line);
}

void add_stream_helpers(nb::handle stream_type, AssemblyOf assembly_of_stream) {
    g_assembly_of = assembly_of_stream;
    // Method descriptors (not nanobind functions), so inspect.signature reads their text signatures.
    for (PyMethodDef& method : g_helper_methods) {
        if (!method.ml_name) break;
        nb::object descriptor = nb::steal(
            PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(stream_type.ptr()), &method));
        if (!descriptor.is_valid()) throw nb::python_error();
        nb::setattr(stream_type, method.ml_name, descriptor);
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(stream_type.ptr()));
}

void bind_stream_assembly(nb::module_& m) {
    nb::class_<StreamAssembly>(m, "_StreamAssembly", "The answer a stream's chunks add up to, as they are read.")
        .def(
            "add",
            [](StreamAssembly& self, nb::handle chunk, nb::handle line) {
                // A line as a reader gives it: bytes or str (the chunk was read from it already).
                std::string_view text;
                if (PyBytes_Check(line.ptr())) {
                    text = {PyBytes_AS_STRING(line.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(line.ptr()))};
                } else if (PyUnicode_Check(line.ptr())) {
                    Py_ssize_t size = 0;
                    const char* data = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
                    if (!data) throw nb::python_error();
                    text = {data, static_cast<size_t>(size)};
                }
                self.add(chunk, text);
            },
            nb::arg("chunk"), nb::arg("line").none(), "Merge one chunk, read from `line`.")
        .def("answer", &StreamAssembly::answer, "The assembled answer as its JSON object.")
        .def("completion", &StreamAssembly::completion, "The assembled ChatCompletion.")
        .def_prop_ro("chunks", &StreamAssembly::chunks, "How many chunks were merged.");
    nb::class_<TextDeltas>(m, "_TextDeltas", "The text deltas of one choice of a stream.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &TextDeltas::pull);
    m.def("_stream_assembly", &new_stream_assembly, nb::arg("payload"),
          "A new assembly for a stream of the request `payload`.");
    m.def("_texts_of", &texts_of, nb::arg("chunk"), nb::arg("choice"),
          "The non-empty content texts a chunk carries for one choice index.");
}

}  // namespace korvane::api
