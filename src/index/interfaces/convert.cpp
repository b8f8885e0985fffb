// Values from Python objects and back: the one place that reads a Python
// object into a PyValue (numpy's scalars, subclasses of the built-in kinds,
// dates and times included) and makes a Python object of one.
#include "index/interfaces/convert.hpp"

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>

#include "index/engine/record.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/time_value.hpp"
#include "index/interfaces/types.hpp"

namespace vorlane {

namespace {

using py::PyRef;

// numpy's scalar types recognised beside the built-in ones. numpy is never
// imported for them: a numpy scalar can only arrive once numpy is imported, so
// the table is built on the first conversion of a value of another type after
// numpy appears in sys.modules; until then it is null.
struct NumpyKinds {
    PyTypeObject* int_kind = nullptr;
    PyTypeObject* float_kind = nullptr;
    PyTypeObject* str_kind = nullptr;
    PyTypeObject* bool_kind = nullptr;
    // The abstract bases of every width (int8 ... uint64, float16 ... longdouble).
    PyTypeObject* integer = nullptr;
    PyTypeObject* floating = nullptr;
    // Wider than a double: taken only when a double holds it exactly.
    PyTypeObject* longdouble = nullptr;
    NumpyTimeTypes times;
};

PyTypeObject* numpy_type(PyObject* numpy, const char* name) {
    PyObject* attr = PyObject_GetAttrString(numpy, name);
    if (attr == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (!PyType_Check(attr)) {
        Py_DECREF(attr);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(attr);  // the table keeps this reference
}

const NumpyKinds* numpy_kinds() {
    static std::atomic<const NumpyKinds*> kinds{nullptr};
    if (const NumpyKinds* k = kinds.load(std::memory_order_acquire)) return k;
    PyObject* exc = PyErr_GetRaisedException();
    static PyObject* const name = PyUnicode_InternFromString("numpy");  // kept for the process
    PyObject* numpy = name == nullptr ? nullptr : PyImport_GetModule(name);  // sys.modules only: no import
    if (numpy == nullptr || numpy == Py_None) {
        PyErr_Clear();
        Py_XDECREF(numpy);
        PyErr_SetRaisedException(exc);
        return nullptr;
    }
    auto* built = new NumpyKinds();
    built->int_kind = numpy_type(numpy, "int64");
    built->float_kind = numpy_type(numpy, "float64");
    built->str_kind = numpy_type(numpy, "str_");
    built->bool_kind = numpy_type(numpy, "bool");
    if (built->bool_kind == nullptr) built->bool_kind = numpy_type(numpy, "bool_");
    built->integer = numpy_type(numpy, "integer");
    built->floating = numpy_type(numpy, "floating");
    built->longdouble = numpy_type(numpy, "longdouble");
    built->times.datetime64 = numpy_type(numpy, "datetime64");
    built->times.timedelta64 = numpy_type(numpy, "timedelta64");
    Py_DECREF(numpy);
    PyErr_SetRaisedException(exc);
    // Getting the attributes may let other threads run; a thread that loses the race drops its copy.
    const NumpyKinds* expected = nullptr;
    if (!kinds.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
        for (PyTypeObject* t : {built->int_kind, built->float_kind, built->str_kind, built->bool_kind, built->integer,
                                built->floating, built->longdouble, built->times.datetime64, built->times.timedelta64}) {
            Py_XDECREF(reinterpret_cast<PyObject*>(t));
        }
        delete built;
        return expected;
    }
    return built;
}

// An int beyond the signed 64-bit range, shown when its digits are few.
[[noreturn]] void refuse_wide_int(PyObject* obj) {
    PyErr_Clear();
    std::string text = "int outside the signed 64-bit range";
    if (PyRef repr = PyRef::steal(PyObject_Repr(obj))) {
        Py_ssize_t size = 0;
        const char* digits = PyUnicode_AsUTF8AndSize(repr.get(), &size);
        if (digits != nullptr && size <= 64) text = std::string(digits, static_cast<size_t>(size)) + " is outside the signed 64-bit range";
    }
    PyErr_Clear();
    throw py::ConversionError(PyExc_OverflowError, text + " [-2**63, 2**63 - 1]");
}

int64_t read_int(PyObject* obj, bool exact) {
    PyRef index;
    if (!exact) {
        index = PyRef::steal(PyNumber_Index(obj));
        if (!index) throw py::ConversionError::from_python_error();
        obj = index.get();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) refuse_wide_int(obj);
    if (v == -1 && PyErr_Occurred()) throw py::ConversionError::from_python_error();
    return v;
}

double read_float(PyObject* obj, bool exact) {
    if (exact) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw py::ConversionError::from_python_error();
    return v;
}

std::string_view read_str(PyObject* obj) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) throw py::ConversionError::from_python_error();  // lone surrogates: UnicodeEncodeError
    return {utf8, static_cast<size_t>(size)};
}

bool read_bool(PyObject* obj, bool exact) {
    if (exact) return obj == Py_True;
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        throw py::ConversionError(PyExc_TypeError, std::string(Py_TYPE(obj)->tp_name) + " has no truth value");
    }
    const int truth = number->nb_bool(obj);
    if (truth < 0) throw py::ConversionError::from_python_error();
    return truth != 0;
}

// A number wider than a double (numpy's longdouble) is taken only when the
// double holds it exactly: otherwise it would equal numbers it does not equal.
void refuse_inexact_float(PyObject* obj, double v) {
    if (std::isnan(v)) return;
    PyRef as_double = PyRef::steal(PyFloat_FromDouble(v));
    if (!as_double) throw py::ConversionError::from_python_error();
    const int same = PyObject_RichCompareBool(obj, as_double.get(), Py_EQ);
    if (same < 0) throw py::ConversionError::from_python_error();
    if (same == 0) {
        throw py::ConversionError(PyExc_ValueError, std::string(Py_TYPE(obj)->tp_name) +
                                                        " value that a 64-bit float does not hold exactly "
                                                        "cannot be indexed");
    }
}

void release_kept_object(void* obj) noexcept { py::release_reference(static_cast<PyObject*>(obj)); }

std::atomic<uint32_t> g_iterable_tags{1};

}  // namespace

namespace {

// A value of an attribute (`element` false: a nested object holds its own
// reference, which the attribute reports to the cycle collector) or of a
// container's element (true: a nested object is one of the engine's counted
// handles, with no block of its own).
PyValue convert(py::PyRef ref, bool element) {
    PyObject* obj = ref.get();
    PyTypeObject* type = Py_TYPE(obj);

    if (type == &PyLong_Type) return PyValue(cast::Int{read_int(obj, true)});
    if (type == &PyFloat_Type) return PyValue(cast::Float{read_float(obj, true)});
    if (type == &PyUnicode_Type) return PyValue(cast::Str{SmallString(read_str(obj))});
    if (type == &PyBool_Type) return PyValue(cast::Bool{read_bool(obj, true)});
    if (PyType_IsSubtype(type, indexable_type())) {
        return PyValue(cast::Ind{element ? StoredIndexable::element(obj) : StoredIndexable::from_py_ref(obj)});
    }
    std::optional<IterableKind> container;
    if (type == &PyList_Type) container = IterableKind::List;
    if (type == &PyTuple_Type) container = IterableKind::Tuple;
    if (type == &PyDict_Type) container = IterableKind::Dict;
    if (type == &PySet_Type) container = IterableKind::Set;
    if (container) {
        const uint32_t tag = g_iterable_tags.fetch_add(1, std::memory_order_relaxed);
        return PyValue(cast::Iterable{PyIterable{*container, tag, py::SharedPyRef(std::move(ref))}});
    }
    if (obj != Py_None) {
        const NumpyKinds* numpy = numpy_kinds();
        if (numpy != nullptr) {
            // numpy's scalars are the built-in kinds, as Python's == and < see them.
            if (type == numpy->int_kind) return PyValue(cast::Int{read_int(obj, false)});
            if (type == numpy->float_kind) return PyValue(cast::Float{read_float(obj, false)});
            if (type == numpy->str_kind) return PyValue(cast::Str{SmallString(read_str(obj))});
            if (type == numpy->bool_kind) return PyValue(cast::Bool{read_bool(obj, false)});
            // timedelta64 derives from numpy's integers, but is a duration.
            if (type == numpy->times.datetime64 || type == numpy->times.timedelta64) {
                return std::move(*time_from_python(ref, numpy->times));
            }
            if (numpy->integer != nullptr && PyType_IsSubtype(type, numpy->integer)) {
                return PyValue(cast::Int{read_int(obj, false)});
            }
            if (numpy->floating != nullptr && PyType_IsSubtype(type, numpy->floating)) {
                const double v = read_float(obj, false);
                if (type == numpy->longdouble) refuse_inexact_float(obj, v);
                return PyValue(cast::Float{v});
            }
        }
        // Subclasses of the built-in kinds (enum members among them) are
        // their built-in value, and keep their object for reads.
        if (PyLong_Check(obj)) {
            const int64_t v = read_int(obj, true);
            return PyValue(cast::Int(v, py::SharedPyRef(std::move(ref))));
        }
        if (PyFloat_Check(obj)) {
            const double v = PyFloat_AS_DOUBLE(obj);
            return PyValue(cast::Float(v, py::SharedPyRef(std::move(ref))));
        }
        if (PyUnicode_Check(obj)) {
            const std::string_view text = read_str(obj);
            g_release_string_keeper = release_kept_object;
            return PyValue(cast::Str{SmallString::kept(text, ref.release())});
        }
        if (auto time = time_from_python(ref, numpy != nullptr ? numpy->times : NumpyTimeTypes{})) {
            return std::move(*time);
        }
    }
    const Py_hash_t py_hash = PyObject_Hash(obj);
    if (py_hash == -1 && PyErr_Occurred()) {
        // Unhashable (the type says so): a TypeError of ours naming the type. An
        // error the value's own __hash__ raised goes out as it was.
        if (PyObject_HashNotImplemented == Py_TYPE(obj)->tp_hash || Py_TYPE(obj)->tp_hash == nullptr) {
            PyErr_Clear();
            throw py::ConversionError(PyExc_TypeError, std::string("unhashable type: '") + Py_TYPE(obj)->tp_name + "'");
        }
        throw py::ConversionError::from_python_error();
    }
    return PyValue(cast::Unknown{py::SharedPyRef(std::move(ref)), static_cast<uint64_t>(static_cast<int64_t>(py_hash))});
}

}  // namespace

PyValue value_from_python(py::PyRef ref) { return convert(std::move(ref), false); }

Operand operand_from_python(py::PyRef obj) {
    PyValue value = value_from_python(obj.copy());
    // A value that holds its object already names it; only payload values keep it apart.
    if (value.held_object() != nullptr) return Operand{std::move(value), py::SharedPyRef()};
    return Operand{std::move(value), py::SharedPyRef(std::move(obj))};
}

namespace {

// The Python objects made for the numbers and strings read last, so that a
// value read again (the same attribute in a loop, or a value many objects
// share) costs a lookup instead of a new object: the objects themselves are
// not kept by the values, which would double their memory. Direct-mapped by a
// hash of the payload; touched only with the interpreter lock held.
template <class Key>
struct MadeObjects {
    static constexpr size_t kSlots = 1024;
    struct Slot {
        Key key{};
        PyObject* obj = nullptr;  // a strong reference, or null
    };
    std::array<Slot, kSlots> slots{};

    // The object kept for `key` at `slot`, or a new one from make() kept there.
    template <class Same, class Make>
    py::PyRef find_or_make(size_t hash, const Key& key, Same&& same, Make&& make) {
        Slot& slot = slots[hash & (kSlots - 1)];
        if (slot.obj != nullptr && same(slot.key)) return py::PyRef::borrow(slot.obj);
        py::PyRef made = make();
        PyObject* previous = std::exchange(slot.obj, Py_NewRef(made.get()));
        slot.key = key;
        Py_XDECREF(previous);  // a number or a string: its release runs no Python code
        return made;
    }
};

size_t mix(uint64_t v) noexcept { return static_cast<size_t>((v * 0x9E3779B97F4A7C15ULL) >> 40); }

MadeObjects<int64_t>& made_ints() {
    static auto* cache = new MadeObjects<int64_t>();  // kept until the process ends
    return *cache;
}
MadeObjects<uint64_t>& made_floats() {
    static auto* cache = new MadeObjects<uint64_t>();
    return *cache;
}
MadeObjects<SmallString>& made_strings() {
    static auto* cache = new MadeObjects<SmallString>();
    return *cache;
}

}  // namespace

py::PyRef value_to_python(const PyValue& value) {
    switch (value.kind()) {
        case Kind::Int: {
            const auto* number = value.as<cast::Int>();
            if (number->origin) return number->origin.to_owned();
            const int64_t v = number->value;
            if (v >= -5 && v <= 256) return py::PyRef::checked(PyLong_FromLongLong(v));  // Python's own
            return made_ints().find_or_make(
                mix(static_cast<uint64_t>(v)), v, [&](int64_t k) { return k == v; },
                [&] { return py::PyRef::checked(PyLong_FromLongLong(v)); });
        }
        case Kind::Float: {
            const auto* number = value.as<cast::Float>();
            if (number->origin) return number->origin.to_owned();
            uint64_t bits;
            std::memcpy(&bits, &number->value, sizeof bits);
            return made_floats().find_or_make(
                mix(bits), bits, [&](uint64_t k) { return k == bits; },
                [&] { return py::PyRef::checked(PyFloat_FromDouble(number->value)); });
        }
        case Kind::Str: {
            const SmallString& str = value.as<cast::Str>()->value;
            if (void* kept = str.keeper()) return py::PyRef::borrow(static_cast<PyObject*>(kept));
            const std::string_view text = str.view();
            // Short strings by their text, long ones by their buffer (copies share it).
            return made_strings().find_or_make(
                str.bytes_hash() >> 40, str, [&](const SmallString& k) { return k.same_bytes(str); },
                [&] { return py::PyRef::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))); });
        }
        case Kind::Bool: return py::PyRef::borrow(value.as<cast::Bool>()->value ? Py_True : Py_False);
        default: return py::PyRef::borrow(value.held_object());
    }
}

std::vector<PyValue> convert_elements(const PyIterable& container) {
    std::vector<PyValue> out;
    convert_elements_into(container, out);
    return out;
}

void convert_elements_into(const PyIterable& container, std::vector<PyValue>& out) {
    PyObject* obj = container.container.get();
    switch (container.kind) {
        case IterableKind::Dict: break;  // dict values are not indexed
        case IterableKind::List: {
            // Elements are read by position while the list may change under
            // conversion callbacks: stop at the shorter of both lengths.
            const Py_ssize_t start_len = PyList_GET_SIZE(obj);
            for (Py_ssize_t k = 0; k < start_len && k < PyList_GET_SIZE(obj); ++k) {
                out.push_back(convert(py::PyRef::borrow(PyList_GET_ITEM(obj, k)), true));
            }
            break;
        }
        case IterableKind::Tuple: {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(obj); ++k) {
                out.push_back(convert(py::PyRef::borrow(PyTuple_GET_ITEM(obj, k)), true));
            }
            break;
        }
        case IterableKind::Set: {
            // Take the members first: hashing during conversion must not see the set change.
            py::PyRef members = py::PyRef::checked(PySequence_List(obj));
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(members.get()); ++k) {
                out.push_back(convert(py::PyRef::borrow(PyList_GET_ITEM(members.get(), k)), true));
            }
            break;
        }
    }
}

namespace {
// Refuses nesting past the fixed depth or the interpreter's own limit; leaves
// the interpreter's recursion count when it goes.
class CheckingDepth {
public:
    explicit CheckingDepth(size_t depth) {
        if (depth >= kMaxContainerDepth) {
            PyErr_Format(PyExc_RecursionError, "containers nested more than %zu deep cannot be indexed",
                         kMaxContainerDepth);
            throw py::PyErrAlreadySet();
        }
        if (Py_EnterRecursiveCall(" while checking container elements") != 0) throw py::PyErrAlreadySet();
    }
    CheckingDepth(const CheckingDepth&) = delete;
    CheckingDepth& operator=(const CheckingDepth&) = delete;
    ~CheckingDepth() { Py_LeaveRecursiveCall(); }
};
}  // namespace

namespace {

// Converts the elements of a container met inside a checked one, and of every
// container among them, into `prepared`; `path` holds the containers being
// walked, so a container that holds itself is walked once.
void check_nested(const PyValue& v, PreparedElements& prepared, std::vector<const PyObject*>& path) {
    const auto* iterable = v.as<cast::Iterable>();
    if (iterable == nullptr) return;
    const PyObject* container = iterable->value.container.get();
    for (const PyObject* c : path) {
        if (c == container) return;
    }
    const CheckingDepth depth(path.size());
    path.push_back(container);
    std::vector<PyValue> elements = convert_elements(iterable->value);
    for (const PyValue& element : elements) check_nested(element, prepared, path);
    path.pop_back();
    prepared.add_inner(iterable->value.container, std::move(elements));
}

}  // namespace

void check_elements(const PyValue& v, PreparedElements& prepared) {
    const auto* iterable = v.as<cast::Iterable>();
    if (iterable == nullptr) return;
    const CheckingDepth depth(0);
    // Converted straight into the shared array: no allocation per container.
    std::vector<PyValue>& array = prepared.element_array();
    const size_t begin = array.size();
    convert_elements_into(iterable->value, array);
    const size_t end = array.size();
    // By position: the nested walk adds inner containers only, never to the
    // array. The path is made only for containers that hold containers.
    std::vector<const PyObject*> path;
    for (size_t k = begin; k < end; ++k) {
        if (array[k].kind() != Kind::Iterable) continue;
        if (path.empty()) path.push_back(iterable->value.container.get());
        check_nested(array[k], prepared, path);
    }
    prepared.add_held(iterable->value.container, begin);
}

}  // namespace vorlane
