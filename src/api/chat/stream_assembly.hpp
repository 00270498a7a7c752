// Putting a streamed chat completion back together: the whole answer merged from its chunks, and
// the text deltas of one choice.
#pragma once
#include <nanobind/nanobind.h>

#include <string_view>

namespace korvane::api {

namespace nb = nanobind;

// A new, empty assembly for a stream of the request `payload` (a dict; only its "model" is kept,
// the completion's model when no chunk names one, as for a whole answer).
nb::object new_stream_assembly(nb::handle payload);

// Merges one chunk into `assembly` (an object of new_stream_assembly(); nothing happens when it is
// not set): the chunk record's choices, and the members of the chunk's JSON object the record does
// not keep (usage, ...), read from `line`, the stream line the chunk was read from.
void assemble_chunk(nb::handle assembly, nb::handle chunk, std::string_view line);
bool is_stream_assembly(nb::handle object);

// The helper methods of the blocking stream type (text_deltas, get_final_completion,
// get_final_answer), added to `stream_type`; `assembly_of(stream)` gives a stream's assembly.
using AssemblyOf = nb::handle (*)(nb::handle stream);
void add_stream_helpers(nb::handle stream_type, AssemblyOf assembly_of);

// Binds the assembly type and `_texts_of` (the async stream's helpers use them).
void bind_stream_assembly(nb::module_& m);

}  // namespace korvane::api
