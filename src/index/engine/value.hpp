#pragma once
// PyValue: a Python value converted once into a small, hashed, typed record that
// the engine stores and compares without calling back into Python. The
// conversion itself, both ways, is the interfaces' (interfaces/convert.hpp).
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <type_traits>
#include <variant>
#include <vector>

#include "index/structures/small_string.hpp"
#include "index/structures/time_key.hpp"
#include "python/py_ref.hpp"

namespace vorlane {

struct Indexable;  // the native record of an Indexable object (indexable.hpp)

enum class IterableKind : uint8_t { List, Dict, Tuple, Set };

// A container value: not copied, not converted; whoever indexes it walks it then.
struct PyIterable {
    IterableKind kind;
    // A number fixed when the value is made (it feeds the hash), so that two
    // conversions of one container hash apart even when one is gone.
    uint32_t tag = 0;
    py::SharedPyRef container;
};

// The count of handles the engine holds on an Indexable object, kept in the
// object's own record (indexable.cpp): the first taken adds one Python
// reference (interpreter lock held), the last dropped gives it up.
void add_engine_ref(PyObject* obj, bool first_needs_gil) noexcept;
void drop_engine_ref(PyObject* obj) noexcept;

// A counted handle on an Indexable object that threads copy and drop without
// the interpreter lock. The first handle takes one Python reference (with the
// lock held: from_python) and the last gives it up (release_reference); the
// handles in between only count, in the object's own record, so a handle
// costs a pointer, not a block of its own.
class ObjectHandle {
public:
    ObjectHandle() noexcept = default;
    // `obj` must be an Indexable; the interpreter lock must be held.
    static ObjectHandle from_python(PyObject* obj) noexcept {
        add_engine_ref(obj, true);
        return ObjectHandle(obj);
    }
    ObjectHandle(const ObjectHandle& other) noexcept : obj_(other.obj_) {
        if (obj_ != nullptr) add_engine_ref(obj_, false);
    }
    ObjectHandle(ObjectHandle&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    ObjectHandle& operator=(ObjectHandle other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~ObjectHandle() {
        if (obj_ != nullptr) drop_engine_ref(obj_);
    }

    explicit operator bool() const noexcept { return obj_ != nullptr; }
    PyObject* get() const noexcept { return obj_; }
    const Indexable& record() const noexcept;
    // A new strong reference; the interpreter lock must be held.
    py::PyRef to_owned() const noexcept { return py::PyRef::borrow(obj_); }

private:
    explicit ObjectHandle(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A nested Indexable held by a value, in one word. Two ways of holding it:
//  - owned: a reference of the value's own, shared by its copies (a SharedPyRef).
//    An attribute's value holds its object so, and reports that reference to
//    the cycle collector;
//  - counted: one of the engine's handles on the object (see ObjectHandle),
//    counted in the object's record. Container elements hold their objects so:
//    a list of objects costs no block per element, and nothing reports them.
class HeldIndexable {
public:
    HeldIndexable() noexcept = default;
    // The interpreter lock must be held for both.
    static HeldIndexable owned(PyObject* obj) { return HeldIndexable(std::move(py::SharedPyRef(py::PyRef::borrow(obj))).into_word()); }
    static HeldIndexable counted(PyObject* obj) noexcept {
        add_engine_ref(obj, true);
        return HeldIndexable(reinterpret_cast<uintptr_t>(obj) | kCounted);
    }
    HeldIndexable(const HeldIndexable& other) noexcept : bits_(other.bits_) { copy(); }
    HeldIndexable(HeldIndexable&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
    HeldIndexable& operator=(HeldIndexable other) noexcept {
        std::swap(bits_, other.bits_);
        return *this;
    }
    ~HeldIndexable() { drop(); }

    explicit operator bool() const noexcept { return bits_ != 0; }
    PyObject* get() const noexcept {
        if ((bits_ & kCounted) != 0) return reinterpret_cast<PyObject*>(bits_ & ~kCounted);
        return py::SharedPyRef::object_of_word(bits_);
    }
    // Whether this holds a reference of its own (owned), which its holder reports.
    bool owns_reference() const noexcept { return bits_ != 0 && (bits_ & kCounted) == 0; }

private:
    static constexpr uintptr_t kCounted = 1;
    explicit HeldIndexable(uintptr_t bits) noexcept : bits_(bits) {}
    void copy() const noexcept {
        if (bits_ == 0) return;
        if ((bits_ & kCounted) != 0) {
            add_engine_ref(get(), false);
        } else {
            py::SharedPyRef::copy_word(bits_);
        }
    }
    void drop() noexcept {
        if (bits_ == 0) return;
        if ((bits_ & kCounted) != 0) {
            drop_engine_ref(get());
        } else {
            py::SharedPyRef::drop_word(bits_);
        }
        bits_ = 0;
    }
    uintptr_t bits_ = 0;
};

struct StoredIndexable {
    HeldIndexable python_handle;
    // The object's id, kept beside the handle: links are entered by id, and
    // reading it from the object costs a cache miss per link in a bulk add.
    uint32_t id = 0;

    const Indexable& record() const noexcept;
    // `object` must be an Indexable; the interpreter lock must be held. An
    // attribute's value owns its reference; a container element's is counted.
    static StoredIndexable from_py_ref(PyObject* object);
    static StoredIndexable element(PyObject* object);
};

namespace cast {
// Numbers and strings made from a subclass of int, float or str (an IntEnum
// member, say) keep that object, which a read gives back; the built-in types
// keep nothing and are made again on a read.
struct Int {
    Int(int64_t v) noexcept : value(v) {}
    Int(int64_t v, py::SharedPyRef kept) noexcept : value(v), origin(std::move(kept)) {}
    int64_t value;
    py::SharedPyRef origin;
};
struct Float {
    Float(double v) noexcept : value(v) {}
    Float(double v, py::SharedPyRef kept) noexcept : value(v), origin(std::move(kept)) {}
    double value;
    py::SharedPyRef origin;
};
// A str subclass's object is kept by the string (SmallString::kept).
struct Str {
    SmallString value;
};
struct Bool {
    bool value;
};
// One conversion of a container, however often copied, is one value: copies
// share the handle, and the handle's identity feeds the hash.
struct Iterable {
    PyIterable value;
};
struct Ind {
    StoredIndexable value;
};
struct Unknown {
    py::SharedPyRef obj;
    uint64_t hash;  // Python's hash, taken when the value is made
};
// A date, datetime, time or timedelta (or a subclass, or numpy's datetime64
// and timedelta64): its order key and the object it was made from.
struct Time {
    // The key's mantissa: every time key has the head of +inf (time_key.hpp).
    uint64_t mantissa;
    py::SharedPyRef obj;
    OrderKey key() const noexcept { return OrderKey{kPositiveInfinityKey.head, mantissa}; }
    TimeKind kind() const noexcept { return time_of_key(key()).first; }
    int64_t ordinal() const noexcept { return time_of_key(key()).second; }
};
}  // namespace cast

// The kind and payload; alternatives in kind order.
using CastValue =
    std::variant<cast::Int, cast::Float, cast::Str, cast::Bool, cast::Iterable, cast::Ind, cast::Unknown, cast::Time>;

enum class Kind : uint8_t { Int, Float, Str, Bool, Iterable, Ind, Unknown, Time };

// Every attribute value is stored as one of these, so it is kept small (24
// bytes): numbers, booleans and short strings of the built-in types are held
// by payload alone, with no reference to the Python object they were made from
// and no stored hash (both are cheap to make again); values of subclasses
// (enum members), dates and times keep their object beside the payload, for
// reads; containers, nested objects and other values hold their Python
// object, which is also their identity.
class PyValue {
public:
    // Built from one payload alternative, in place.
    template <class T>
        requires(!std::is_same_v<std::decay_t<T>, PyValue> && !std::is_same_v<std::decay_t<T>, CastValue>)
    explicit PyValue(T&& payload) : primitave(std::in_place_type<std::decay_t<T>>, std::forward<T>(payload)) {}

    Kind kind() const noexcept { return static_cast<Kind>(primitave.index()); }
    template <class T>
    const T* as() const noexcept {
        return std::get_if<T>(&primitave);
    }

    // The value's hash number: FxHash of the payload and the kind number, or
    // Python's hash for an Unknown value.
    uint64_t hash() const noexcept;
    // The Python object this value holds as its identity or its whole value
    // (containers, nested objects, dates and times, other values), or null for
    // numbers, booleans and strings (whose kept subclass object is no identity).
    PyObject* held_object() const noexcept;

    // A value dataframes call missing: None, pandas' NA, or a "not a time" (NaT) kept as NaN.
    bool is_missing() const noexcept;

    // `origin`: the object the value was made from, when the holder kept it.
    std::string debug_text(const PyObject* origin = nullptr) const;

    friend bool operator==(const PyValue& a, const PyValue& b);

    CastValue primitave;
};

// A query operand: the value, and the Python object it was made from, which
// the operand's text names.
struct Operand : PyValue {
    py::SharedPyRef origin;

    std::string debug_text() const { return PyValue::debug_text(origin ? origin.get() : held_object()); }
};

static_assert(sizeof(PyValue) == 24, "values are stored by the million: keep them small");

struct PyValueHash {
    size_t operator()(const PyValue& v) const noexcept { return static_cast<size_t>(v.hash()); }
};

// Converted elements of the containers one operation enters, with handles that
// keep the containers alive (a freed container's address could be reused by a
// new one within the same operation). Containers held directly by objects are
// kept in the order they were checked, their elements side by side in one
// array, so a bulk add finds an object's containers by its position in the
// batch and lets go of them group by group without a lookup per container.
// Containers met as elements of containers are kept by address.
class PreparedElements {
public:
    // A container held directly by an object.
    struct Held {
        py::SharedPyRef container;  // null once let go of
        uint32_t begin = 0;         // its elements: elements_[begin, end)
        uint32_t end = 0;
        bool taken = false;  // handed to a bulk add already
    };

    // The containers checked from here on are held by the next object. Objects
    // are numbered from 0 in the order they start; containers checked before
    // the first call belong to object 0.
    void start_object();
    size_t object_count() const noexcept { return object_starts_.size(); }

    // For the conversion that fills it (check_elements, interfaces/convert.hpp):
    // the array the elements of containers held by objects go to, in order; a
    // container held by the current object whose elements were appended from
    // `begin` on; and a container met as an element, with its elements.
    std::vector<PyValue>& element_array() noexcept { return elements_; }
    void add_held(py::SharedPyRef container, size_t begin);
    void add_inner(py::SharedPyRef container, std::vector<PyValue> elements);

    // The elements prepared for `container`, if it was checked and not let go of yet.
    std::optional<std::span<const PyValue>> find(const PyObject* container) const;

    // Bulk add: the first container of object `position` at `container` not taken
    // yet, marked taken; null if there is none (the object's value changed since
    // it was checked, say).
    Held* take_held(size_t position, const PyObject* container) noexcept;
    std::span<PyValue> elements_of(const Held& held) noexcept {
        return std::span<PyValue>(elements_).subspan(held.begin, held.end - held.begin);
    }
    // Lets go of a held container (its elements may have been moved out). No
    // interpreter lock needed: the handle's last release is deferred.
    void release(Held& held) noexcept;

private:
    struct Inner {
        py::SharedPyRef container;
        std::vector<PyValue> elements;
    };

    std::vector<Held> held_;
    std::vector<PyValue> elements_;
    std::vector<uint32_t> object_starts_;  // per object: index of its first entry in held_
    std::unordered_map<const PyObject*, Inner> inner_;
    // Held containers not let go of yet, by address, built on the first lookup
    // among many (and again if containers were checked since).
    mutable std::vector<std::pair<const PyObject*, uint32_t>> by_address_;
    mutable size_t by_address_built_ = 0;  // held_.size() when it was built
};

// Containers nested deeper than this are refused (RecursionError) when they are
// converted, and never walked deeper by the engine: both walks recurse, and this
// depth keeps them well inside a thread's stack in every build.
inline constexpr size_t kMaxContainerDepth = 2000;

// A container nested deeper than that, met while the engine enters a value it
// was not given converted: the value is refused (the boundary reports it as
// RecursionError).
struct NestingTooDeep : std::exception {
    const char* what() const noexcept override { return "containers nested too deeply to be indexed"; }
};

// Makes `prepared` the elements the engine uses on this thread for a scope.
class PreparedScope {
public:
    explicit PreparedScope(const PreparedElements& prepared) noexcept;
    PreparedScope(const PreparedScope&) = delete;
    PreparedScope& operator=(const PreparedScope&) = delete;
    ~PreparedScope();

    // The elements prepared for `container` on this thread, if any.
    static std::optional<std::span<const PyValue>> find(const PyObject* container);

private:
    const PreparedElements* previous_;
};

// FxHash of a value's payload followed by its kind number.
uint64_t hash_int(int64_t v) noexcept;
uint64_t hash_float(double v) noexcept;
uint64_t hash_str(std::string_view v) noexcept;
uint64_t hash_bool(bool v) noexcept;

// "Py(0x...)": the debug text of a handle to a Python object.
std::string debug_py_handle(const PyObject* obj);

}  // namespace vorlane
