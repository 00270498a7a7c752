// Records read straight from JSON text: each object goes from the parser into its record's
// fields without a dict in between.
#pragma once
#include <nanobind/nanobind.h>

#include <memory>
#include <string_view>

namespace korvane::records {

namespace nb = nanobind;

struct RecordShape;
}  // namespace korvane::records

namespace korvane::json {
struct ObjectShape;
}  // namespace korvane::json

namespace korvane::records {

// A prepared reader of one record class (or of lists of it). It only takes input the general
// path (decode to dicts, then validate) would turn into the same records; for anything else
// (invalid JSON, another layout, any value that does not validate) read() gives an invalid
// object and the caller takes the general path, which then gives the same result or the error.
class JsonRecords {
public:
    enum class Layout {
        Object,  // one object
        List,    // a bare array of objects, or an object holding that array under `member`
    };

    // `absent` maps field names to the values an absent member takes before the field's own
    // default (an empty list stands for a new empty list per record). Needs the GIL; kept
    // references live for the process, as the record classes do.
    JsonRecords(std::string_view record, Layout layout, const char* member = nullptr, nb::dict absent = {});
    ~JsonRecords();
    JsonRecords(const JsonRecords&) = delete;
    JsonRecords& operator=(const JsonRecords&) = delete;

    // The record, or the list of records; an invalid object (no error set) when the general
    // path must decide. Needs the GIL.
    nb::object read(std::string_view text) const;

private:
    std::unique_ptr<RecordShape> top_;            // the record's shape with `absent` applied
    std::unique_ptr<json::ObjectShape> wrapper_;  // Layout::List: the object holding the array
    Layout layout_;
};

// The reader of a record class of the table (made on first use), or nullptr for any other class.
const JsonRecords* json_records_of(PyTypeObject* cls);

}  // namespace korvane::records
