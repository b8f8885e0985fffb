#include "index/interfaces/columns.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "index/engine/columns.hpp"
#include "index/engine/index.hpp"
#include "index/structures/string_interner.hpp"
#include "index/interfaces/args.hpp"
#include "index/interfaces/shared_methods.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/convert.hpp"
#include "index/interfaces/types.hpp"
#include "python/gil.hpp"

#include "nanoarrow/nanoarrow.h"

namespace vorlane {

const char* const kColumnsDoc =
    "columns($self, *attrs)\n--\n\n"
    "The current values of the named attributes of the objects, in collect() order, as Arrow columns: a "
    "Columns object for pyarrow.table, polars.DataFrame, duckdb or pandas.DataFrame.from_arrow. "
    "Column types follow the values: int64, float64 (floats, or ints and floats), string, bool, date32, "
    "timestamp[us] (in UTC for aware datetimes), time64[us], duration[us], or null when no object has the "
    "attribute, or when it is missing, None or NaT there. Lists, tuples and sets make a list column of "
    "those types (a set's elements in its iteration order, a None element a null); where a column holds "
    "a container, another value is a list of that value and a missing one a null list. Other values, "
    "containers inside lists, or kinds that do not mix, raise TypeError. A dotted path 'a.b.c' gives the "
    "values of c on the distinct objects the path reaches from each object (through nested objects and "
    "lists, tuples and sets of them): none is a null, one a value, several make a list column.";

namespace {

// What a Columns object, and every schema, stream and array made from it,
// share: immutable once made, freed by whichever of them lets go last, on any
// thread (it holds no Python object).
struct ColumnTable {
    std::vector<std::string> names;
    ColumnSet data;
};
using SharedTable = std::shared_ptr<const ColumnTable>;

struct PyColumnsObject {
    PyObject_HEAD
    SharedTable table;
};

const ColumnTable& table_of(PyObject* self) { return *reinterpret_cast<PyColumnsObject*>(self)->table; }

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// --- arguments --------------------------------------------------------------

std::string attribute_name(PyObject* attr, Py_ssize_t position) {
    if (!PyUnicode_Check(attr)) {
        py::raise(PyExc_TypeError, "columns: attribute names must be str, argument " + std::to_string(position + 1) +
                                       " is '" + Py_TYPE(attr)->tp_name + "'");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(attr, &size);
    if (utf8 == nullptr) throw py::PyErrAlreadySet();
    std::string name(utf8, static_cast<size_t>(size));
    if (name.find('\0') != std::string::npos) {
        py::raise(PyExc_ValueError, "columns: an attribute name with a NUL character cannot name a column");
    }
    return name;
}

// The attribute ids of a name or dotted path. A name never interned is an
// attribute no object has (kNoAttribute): looked up, not added, so unknown
// names do not grow the process's name table.
AttrPath attribute_path(std::string name) {
    const ImmutableInterner& names = StrInterner::global().snapshot();
    AttrPath path;
    for (size_t start = 0;;) {
        const size_t dot = name.find('.', start);
        const std::string_view part =
            std::string_view(name).substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty()) {
            py::raise(PyExc_ValueError,
                      "columns: '" + name + "' is neither an attribute name nor a dotted path of names");
        }
        path.steps.push_back(names.get(part).value_or(kNoAttribute));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    path.text = std::move(name);
    return path;
}

// --- errors -----------------------------------------------------------------

std::string kinds_text(uint16_t kinds) {
    std::vector<const char*> names;
    if ((kinds & kIntBit) != 0) names.push_back("int");
    if ((kinds & kFloatBit) != 0) names.push_back("float");
    if ((kinds & kStrBit) != 0) names.push_back("str");
    if ((kinds & kBoolBit) != 0) names.push_back("bool");
    if ((kinds & kDateBit) != 0) names.push_back("date");
    if ((kinds & kDateTimeBit) != 0) names.push_back("naive datetime");
    if ((kinds & kDateTimeUtcBit) != 0) names.push_back("aware datetime");
    if ((kinds & kTimeBit) != 0) names.push_back("time");
    if ((kinds & kTimeUtcBit) != 0) names.push_back("aware time");
    if ((kinds & kDeltaBit) != 0) names.push_back("timedelta");
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i != 0) out += i + 1 == names.size() ? " and " : ", ";
        out += names[i];
    }
    return out;
}

[[noreturn]] void raise_kind_error(const ColumnKindError& e, const std::string& name) {
    std::string message = "columns: attribute '" + name + "' ";
    const char* const where = e.element() ? " in a list" : "";
    if (!e.value().has_value()) {
        message += std::string("mixes ") + kinds_text(e.kinds()) + where + " (only int and float share a column)";
    } else {
        const PyValue& v = *e.value();
        PyObject* held = v.held_object();
        const char* type_name = held != nullptr ? Py_TYPE(held)->tp_name : "unknown";
        switch (v.kind()) {
            case Kind::Time:
                // Arrow's times have no zone: an aware time has no column type.
                message += std::string("holds an aware time (") + type_name + ")" + where +
                           "; a column takes naive times only";
                py::raise(PyExc_TypeError, message);
            case Kind::Iterable:
                message += std::string("holds a ") + type_name + where;
                if (e.element()) message += " (a list column's elements are not containers)";
                break;
            case Kind::Ind:
                message += std::string("holds a nested Indexable (") + type_name + ")" + where;
                break;
            default:
                message += std::string("holds a value of type '") + type_name + "'" + where;
                break;
        }
        message += "; a column takes int, float, str, bool, date, datetime, time or timedelta values";
        if (!e.element()) message += ", and lists, tuples and sets of them";
    }
    py::raise(PyExc_TypeError, message);
}

// --- list columns -----------------------------------------------------------

// Puts the elements of each container among the parts of `list` in its place,
// in the container's order (a set's as it iterates now). Interpreter lock held.
void read_elements(ListParts& list, const std::string& name) {
    const bool any = std::any_of(list.parts.begin(), list.parts.end(),
                                 [](const PyValue& v) { return v.kind() == Kind::Iterable; });
    if (!any) return;
    std::vector<PyValue> elements;
    elements.reserve(list.parts.size());
    size_t part = 0;
    for (int64_t& end : list.ends) {
        for (; part < static_cast<size_t>(end); ++part) {
            PyValue& v = list.parts[part];
            if (const auto* container = v.as<cast::Iterable>()) {
                py::converting_attribute(name, [&] { convert_elements_into(container->value, elements); });
            } else {
                elements.push_back(std::move(v));
            }
        }
        end = static_cast<int64_t>(elements.size());
    }
    list.parts = std::move(elements);
}

// --- Arrow structures -------------------------------------------------------

// A nanoarrow call that failed: out of memory aborts, as everywhere else.
void check_arrow(ArrowErrorCode code, const char* what, const ArrowError* error = nullptr) {
    if (code == NANOARROW_OK) return;
    if (code == ENOMEM) std::abort();
    std::string message = std::string("columns: ") + what + " failed (error " + std::to_string(code) + ")";
    if (error != nullptr && error->message[0] != '\0') message += std::string(": ") + error->message;
    fail(std::move(message));
}

ArrowType arrow_type(ColumnType type) {
    switch (type) {
        case ColumnType::Null: return NANOARROW_TYPE_NA;
        case ColumnType::Int64: return NANOARROW_TYPE_INT64;
        case ColumnType::Float64: return NANOARROW_TYPE_DOUBLE;
        case ColumnType::Bool: return NANOARROW_TYPE_BOOL;
        case ColumnType::String: return NANOARROW_TYPE_STRING;
        case ColumnType::LargeString: return NANOARROW_TYPE_LARGE_STRING;
        case ColumnType::Timestamp:
        case ColumnType::TimestampUtc: return NANOARROW_TYPE_TIMESTAMP;
        case ColumnType::Date32: return NANOARROW_TYPE_DATE32;
        case ColumnType::Time64: return NANOARROW_TYPE_TIME64;
        case ColumnType::Duration: return NANOARROW_TYPE_DURATION;
        case ColumnType::List: return NANOARROW_TYPE_LIST;
        case ColumnType::LargeList: return NANOARROW_TYPE_LARGE_LIST;
    }
    fail("columns: unknown column type");
}

// The field type of a column: times in microseconds, instants in UTC; a list
// of its elements' type.
void set_field_type(ArrowSchema* field, const Column& column) {
    const ColumnType type = column.type;
    switch (type) {
        case ColumnType::List:
        case ColumnType::LargeList:
            check_arrow(ArrowSchemaSetType(field, arrow_type(type)), "ArrowSchemaSetType");
            set_field_type(field->children[0], column.elements.front());
            return;
        case ColumnType::Timestamp:
        case ColumnType::TimestampUtc:
        case ColumnType::Time64:
        case ColumnType::Duration:
            check_arrow(ArrowSchemaSetTypeDateTime(field, arrow_type(type), NANOARROW_TIME_UNIT_MICRO,
                                                   type == ColumnType::TimestampUtc ? "UTC" : nullptr),
                        "ArrowSchemaSetTypeDateTime");
            return;
        default:
            check_arrow(ArrowSchemaSetType(field, arrow_type(type)), "ArrowSchemaSetType");
    }
}

// Fills `schema` (initialised by the caller, released by it on failure): a
// struct with one field per column.
void fill_schema(const ColumnTable& table, ArrowSchema* schema) {
    const auto n = static_cast<int64_t>(table.names.size());
    check_arrow(ArrowSchemaSetTypeStruct(schema, n), "ArrowSchemaSetTypeStruct");
    for (int64_t i = 0; i < n; ++i) {
        const auto c = static_cast<size_t>(i);
        set_field_type(schema->children[i], table.data.columns[c]);
        check_arrow(ArrowSchemaSetName(schema->children[i], table.names[c].c_str()), "ArrowSchemaSetName");
    }
}

// A schema owned by this scope until it is handed on (or released here).
struct OwnedSchema {
    ArrowSchema schema{};
    OwnedSchema() { ArrowSchemaInit(&schema); }
    OwnedSchema(const OwnedSchema&) = delete;
    OwnedSchema& operator=(const OwnedSchema&) = delete;
    ~OwnedSchema() {
        if (schema.release != nullptr) ArrowSchemaRelease(&schema);
    }
};

struct OwnedArray {
    ArrowArray array{};
    OwnedArray() = default;
    OwnedArray(const OwnedArray&) = delete;
    OwnedArray& operator=(const OwnedArray&) = delete;
    ~OwnedArray() {
        if (array.release != nullptr) ArrowArrayRelease(&array);
    }
};

// Each buffer handed to an array keeps the table alive through a handle of its
// own, which the array's release lets go of: the data is not copied, and it
// outlives the Columns object, the stream and the index alike.
void release_table_handle(ArrowBufferAllocator* allocator, uint8_t*, int64_t) {
    delete static_cast<SharedTable*>(allocator->private_data);
}

void attach_buffer(ArrowArray* array, int64_t i, const SharedTable& table, const void* data, size_t size) {
    // An empty buffer stays nanoarrow's own: it gives it a valid pointer.
    if (size == 0) return;
    ArrowBuffer buffer;
    ArrowBufferInit(&buffer);
    check_arrow(ArrowBufferSetAllocator(&buffer, ArrowBufferDeallocator(&release_table_handle, new SharedTable(table))),
                "ArrowBufferSetAllocator");
    // Consumers only read: the Arrow C data interface treats buffers as immutable.
    buffer.data = static_cast<uint8_t*>(const_cast<void*>(data));
    buffer.size_bytes = static_cast<int64_t>(size);
    buffer.capacity_bytes = static_cast<int64_t>(size);
    const ArrowErrorCode code = ArrowArraySetBuffer(array, i, &buffer);
    if (code != NANOARROW_OK) {
        ArrowBufferReset(&buffer);
        check_arrow(code, "ArrowArraySetBuffer");
    }
}

template <class T>
void attach_vector(ArrowArray* array, int64_t i, const SharedTable& table, const std::vector<T>& values) {
    attach_buffer(array, i, table, values.data(), values.size() * sizeof(T));
}

// The buffers of one column, shared with the table, and its length; a list's
// elements as its child.
void fill_column(const SharedTable& table, const Column& column, int64_t length, ArrowArray* array) {
    if (column.type != ColumnType::Null) attach_vector(array, 0, table, column.validity);
    switch (column.type) {
        case ColumnType::Null:
            break;
        case ColumnType::Int64:
        case ColumnType::Timestamp:
        case ColumnType::TimestampUtc:
        case ColumnType::Time64:
        case ColumnType::Duration:
            attach_vector(array, 1, table, column.ints);
            break;
        case ColumnType::Date32:
            attach_vector(array, 1, table, column.days);
            break;
        case ColumnType::Float64:
            attach_vector(array, 1, table, column.floats);
            break;
        case ColumnType::Bool:
            attach_vector(array, 1, table, column.bools);
            break;
        case ColumnType::String:
            attach_vector(array, 1, table, column.offsets);
            attach_buffer(array, 2, table, column.bytes.data(), column.bytes.size());
            break;
        case ColumnType::LargeString:
            attach_vector(array, 1, table, column.large_offsets);
            attach_buffer(array, 2, table, column.bytes.data(), column.bytes.size());
            break;
        case ColumnType::List:
        case ColumnType::LargeList: {
            int64_t count = 0;
            if (column.type == ColumnType::List) {
                attach_vector(array, 1, table, column.offsets);
                count = column.offsets.back();
            } else {
                attach_vector(array, 1, table, column.large_offsets);
                count = column.large_offsets.back();
            }
            fill_column(table, column.elements.front(), count, array->children[0]);
            break;
        }
    }
    array->length = length;
    array->null_count = column.null_count;
}

// The one record batch of the stream: a struct array whose children are the
// columns, sharing the table's buffers.
void fill_array(const SharedTable& table, const ArrowSchema* schema, ArrowArray* array) {
    ArrowError error;
    ArrowErrorInit(&error);
    check_arrow(ArrowArrayInitFromSchema(array, schema, &error), "ArrowArrayInitFromSchema", &error);
    const ColumnSet& data = table->data;
    for (size_t c = 0; c < data.columns.size(); ++c) fill_column(table, data.columns[c], data.rows, array->children[c]);
    array->length = data.rows;
    array->null_count = 0;
    check_arrow(ArrowArrayFinishBuildingDefault(array, &error), "ArrowArrayFinishBuildingDefault", &error);
}

// --- capsules ---------------------------------------------------------------

// A capsule's structure is released here only if no consumer moved it out
// (which sets its release callback to null).
void schema_capsule_destructor(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (schema == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (schema->release != nullptr) ArrowSchemaRelease(schema);
    delete schema;
}

void stream_capsule_destructor(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (stream == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (stream->release != nullptr) ArrowArrayStreamRelease(stream);
    delete stream;
}

PyObject* columns_schema(PyObject* self, PyObject*) {
    return py::guarded_object([&] {
        OwnedSchema owned;
        fill_schema(table_of(self), &owned.schema);
        auto schema = std::make_unique<ArrowSchema>();
        ArrowSchemaMove(&owned.schema, schema.get());
        PyObject* capsule = PyCapsule_New(schema.get(), kSchemaCapsule, schema_capsule_destructor);
        if (capsule == nullptr) {
            ArrowSchemaRelease(schema.get());
            throw py::PyErrAlreadySet();
        }
        schema.release();  // the capsule's now
        return capsule;
    });
}

PyObject* columns_stream(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        // requested_schema: a consumer's wish for other types; the columns have theirs.
        const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        if (nargs + nkw > 1) {
            py::raise(PyExc_TypeError, "__arrow_c_stream__() takes at most 1 argument (" +
                                           std::to_string(nargs + nkw) + " given)");
        }
        if (nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "requested_schema") != 0) {
            py::raise(PyExc_TypeError, "__arrow_c_stream__() got an unexpected keyword argument");
        }
        const SharedTable& table = reinterpret_cast<PyColumnsObject*>(self)->table;
        OwnedSchema schema;
        fill_schema(*table, &schema.schema);
        OwnedArray array;
        fill_array(table, &schema.schema, &array.array);

        auto stream = std::make_unique<ArrowArrayStream>();
        stream->release = nullptr;
        // Takes the schema over when it succeeds.
        check_arrow(ArrowBasicArrayStreamInit(stream.get(), &schema.schema, 1), "ArrowBasicArrayStreamInit");
        ArrowBasicArrayStreamSetArray(stream.get(), 0, &array.array);
        PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, stream_capsule_destructor);
        if (capsule == nullptr) {
            ArrowArrayStreamRelease(stream.get());
            throw py::PyErrAlreadySet();
        }
        stream.release();  // the capsule's now
        return capsule;
    });
}

PyObject* columns_repr(PyObject* self) {
    return py::guarded_object([&] {
        const ColumnTable& table = table_of(self);
        return PyUnicode_FromFormat("<Columns: %zu columns, %lld rows>", table.names.size(),
                                    static_cast<long long>(table.data.rows));
    });
}

void columns_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyColumnsObject*>(self)->table.~SharedTable();
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef kMethods[] = {
    {"__arrow_c_schema__", columns_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe schema (a struct of the columns) as a PyCapsule named 'arrow_schema'."},
    {"__arrow_c_stream__", py::method_ptr(columns_stream), kFastKw,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "A stream of one record batch holding every row, as a PyCapsule named 'arrow_array_stream'. "
     "requested_schema is accepted and ignored."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_columns_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Attribute values of an index's objects as Arrow columns, made by "
                                      "columns(*attrs): pass it to pyarrow.table, polars.DataFrame, duckdb "
                                      "or pandas.DataFrame.from_arrow.")},
        {Py_tp_methods, kMethods},
        {Py_tp_repr, reinterpret_cast<void*>(columns_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(columns_dealloc)},
        {0, nullptr},
    };
    return make_type("PyVorlane.Columns", sizeof(PyColumnsObject), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
}



PyObject* make_columns(const IndexAPI& core, const Bitmap* ids, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) py::raise(PyExc_TypeError, "columns() takes no keyword arguments");
    auto table = std::make_shared<ColumnTable>();
    std::vector<AttrPath> attrs;
    table->names.reserve(static_cast<size_t>(nargs));
    attrs.reserve(static_cast<size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        attrs.push_back(attribute_path(attribute_name(args[i], i)));
        table->names.push_back(attrs.back().text);
    }
    try {
        ColumnRead read = py::without_gil([&] { return read_columns(core, ids, attrs); });
        for (ListParts& list : read.lists) read_elements(list, table->names[list.column]);
        if (!read.lists.empty()) py::without_gil([&] {
            for (ListParts& list : read.lists) {
                const size_t c = list.column;
                read.set.columns[c] = make_list_column(std::move(list));
            }
        });
        table->data = std::move(read.set);
    } catch (const ColumnKindError& e) {
        raise_kind_error(e, table->names[e.column()]);
    }
    PyTypeObject* type = columns_type();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw py::PyErrAlreadySet();
    new (&reinterpret_cast<PyColumnsObject*>(self)->table) SharedTable(std::move(table));
    return self;
}

}  // namespace vorlane
