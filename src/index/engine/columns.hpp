#pragma once
// Columns: the current values of some attributes of a set of stored objects,
// read into one flat, typed buffer per attribute (the layout of Arrow's
// columns), in ascending id order. Plain C++ data: the buffers hold no Python
// object, so whoever ends up owning them may free them on any thread.
//
// An attribute holding lists, tuples or sets makes a list column: its rows are
// offsets into one column of every row's elements. The elements of a container
// live in the Python object, which the engine does not read: the read hands
// back each list column's parts (values and containers), the caller puts each
// container's elements in its place with the interpreter lock held, and
// make_list_column makes the column of the result.
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index/structures/bitmap.hpp"
#include "index/engine/answers.hpp"
#include "index/engine/value.hpp"

namespace vorlane {

struct IndexAPI;

// An attribute id no object can have (a name never interned): an all-null column.
inline constexpr uint32_t kNoAttribute = UINT32_MAX;

// Timestamp: microseconds, naive; TimestampUtc: microseconds of an instant;
// Date32: days; Time64: microseconds into the day; Duration: microseconds.
enum class ColumnType : uint8_t {
    Null, Int64, Float64, Bool, String, LargeString, Timestamp, TimestampUtc, Date32, Time64, Duration, List, LargeList
};

// The value kinds a column can hold, as bits of a set.
enum ColumnKindBit : uint16_t {
    kIntBit = 1,
    kFloatBit = 2,
    kStrBit = 4,
    kBoolBit = 8,
    kDateBit = 16,
    kDateTimeBit = 32,
    kDateTimeUtcBit = 64,
    kTimeBit = 128,
    kDeltaBit = 256,
    kTimeUtcBit = 512,  // no column takes it: Arrow's times have no zone
};

struct Column {
    ColumnType type = ColumnType::Null;
    int64_t null_count = 0;
    // One bit per row, least significant first, set where the row has a value;
    // empty when no row is null (and for a Null column).
    std::vector<uint8_t> validity;
    std::vector<int64_t> ints;       // Int64, Timestamp, TimestampUtc, Time64, Duration
    std::vector<int32_t> days;       // Date32
    std::vector<double> floats;      // Float64
    std::vector<uint8_t> bools;      // Bool: one bit per row, as validity
    std::vector<int32_t> offsets;    // String, List: rows + 1 offsets into `bytes` or `elements`
    std::vector<int64_t> large_offsets;  // LargeString, LargeList: the same, 64-bit
    std::string bytes;               // String, LargeString: the UTF-8 text of every row
    // List, LargeList: one column, of every row's elements in row order (a
    // null row has none).
    std::vector<Column> elements;
};

struct ColumnSet {
    int64_t rows = 0;
    std::vector<Column> columns;  // one per attribute asked for, in that order
};

// A column whose values cannot share one column type: kinds that do not mix
// (`kinds`: the ColumnKindBits met so far, the offending one included), or a
// value of a kind no column takes (`value`: a dict, a nested object or any
// other value; as a list's element, a container too). `element`: the values
// were a list column's elements.
class ColumnKindError : public std::exception {
public:
    ColumnKindError(size_t column, uint16_t kinds, std::optional<PyValue> value, bool element = false)
        : column_(column), kinds_(kinds), value_(std::move(value)), element_(element) {}
    const char* what() const noexcept override { return "column of values of different kinds"; }
    size_t column() const noexcept { return column_; }
    uint16_t kinds() const noexcept { return kinds_; }
    const std::optional<PyValue>& value() const noexcept { return value_; }
    bool element() const noexcept { return element_; }

private:
    size_t column_;
    uint16_t kinds_;
    std::optional<PyValue> value_;
    bool element_;
};

// A list column as read: each row's parts in order, values and containers (a
// list, tuple or set, standing for its elements). A row with no part is a null
// list; a row of one value, a list of that value. The caller replaces each
// container by its elements (keeping `validity`) before make_list_column.
struct ListParts {
    size_t column = 0;
    std::vector<PyValue> parts;
    std::vector<int64_t> ends;      // per row: the end of its parts in `parts`
    std::vector<uint8_t> validity;  // one bit per row, set where the row has a part
    int64_t null_count = 0;
};

// What read_columns gives back: every column; those of `lists` are Null until
// make_list_column makes them.
struct ColumnRead {
    ColumnSet set;
    std::vector<ListParts> lists;
};

// The values of `attrs` of the stored objects of `ids` (the members when
// null) in ascending id order; ids without a record are left out. Each
// object's values of single attributes are read at once under its own lock. A
// dotted path gives, for each object, the values of its last attribute on the
// distinct objects its steps lead to: none is a null, one a value, several a
// list (in id order of the objects). A step of kNoAttribute reaches nothing.
// Called without the interpreter lock. Throws ColumnKindError for a column
// that has no type.
ColumnRead read_columns(const IndexAPI& core, const Bitmap* ids, std::span<const AttrPath> attrs);

// The list column of `list`, whose parts are now its rows' elements: a list
// (32-bit offsets) or a large list past 2^31 - 1 elements. Elements take the
// types values do, a None or NaT element is a null; a container or any value
// no column takes throws ColumnKindError (with `element` set). No interpreter
// lock needed.
Column make_list_column(ListParts list);

}  // namespace vorlane
