#include "index/engine/value.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "index/engine/record.hpp"
#include "index/structures/errors.hpp"
#include "index/structures/float_text.hpp"
#include "index/structures/fxhash.hpp"

namespace vorlane {

namespace {

using py::PyRef;

uint64_t finish_kind(FxHasher h, uint64_t kind) {
    h.write_u64(kind);
    return h.finish();
}

uint64_t hash_identity(const void* p, uint64_t kind) noexcept {
    FxHasher h;
    h.write_u64(reinterpret_cast<uintptr_t>(p));
    return finish_kind(h, kind);
}

}  // namespace

uint64_t hash_int(int64_t v) noexcept {
    FxHasher h;
    h.write_u64(static_cast<uint64_t>(v));
    return finish_kind(h, 1);
}
uint64_t hash_float(double v) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    FxHasher h;
    h.write_u64(bits);
    return finish_kind(h, 2);
}
uint64_t hash_str(std::string_view v) noexcept {
    FxHasher h;
    h.write_str(v);
    return finish_kind(h, 3);
}
uint64_t hash_bool(bool v) noexcept {
    FxHasher h;
    h.write_u64(v ? 1 : 0);
    return finish_kind(h, 4);
}

const Indexable& ObjectHandle::record() const noexcept { return indexable_record(obj_); }

const Indexable& StoredIndexable::record() const noexcept { return indexable_record(python_handle.get()); }

StoredIndexable StoredIndexable::from_py_ref(PyObject* object) {
    return StoredIndexable{HeldIndexable::owned(object), indexable_record(object).id};
}

StoredIndexable StoredIndexable::element(PyObject* object) {
    return StoredIndexable{HeldIndexable::counted(object), indexable_record(object).id};
}

uint64_t PyValue::hash() const noexcept {
    return std::visit(
        [](const auto& x) -> uint64_t {
            using X = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<X, cast::Int>) {
                return hash_int(x.value);
            } else if constexpr (std::is_same_v<X, cast::Float>) {
                return hash_float(x.value);
            } else if constexpr (std::is_same_v<X, cast::Str>) {
                return hash_str(x.value.view());
            } else if constexpr (std::is_same_v<X, cast::Bool>) {
                return hash_bool(x.value);
            } else if constexpr (std::is_same_v<X, cast::Iterable>) {
                FxHasher h;
                h.write_u64(x.value.tag);
                return finish_kind(h, 5);
            } else if constexpr (std::is_same_v<X, cast::Ind>) {
                return hash_identity(x.value.python_handle.get(), 6);
            } else if constexpr (std::is_same_v<X, cast::Time>) {
                FxHasher h;
                h.write_u64(x.mantissa);
                return finish_kind(h, 7);
            } else {
                return x.hash;
            }
        },
        primitave);
}

PyObject* PyValue::held_object() const noexcept {
    if (const auto* it = as<cast::Iterable>()) return it->value.container.get();
    if (const auto* ind = as<cast::Ind>()) return ind->value.python_handle.get();
    if (const auto* unknown = as<cast::Unknown>()) return unknown->obj.get();
    if (const auto* time = as<cast::Time>()) return time->obj.get();
    return nullptr;
}

bool PyValue::is_missing() const noexcept {
    if (const auto* unknown = as<cast::Unknown>()) {
        // pandas' NA (the missing value of its nullable columns) is a missing value too.
        PyObject* obj = unknown->obj.get();
        return obj == Py_None || std::strcmp(Py_TYPE(obj)->tp_name, "pandas._libs.missing.NAType") == 0;
    }
    // NaT is the only NaN kept with an object that is not a float.
    const auto* number = as<cast::Float>();
    return number != nullptr && number->origin && std::isnan(number->value) && !PyFloat_Check(number->origin.get());
}

bool operator==(const PyValue& a, const PyValue& b) {
    // Values of one kind are equal by payload (which implies equal hashes; a
    // float's hash is its bit pattern, so 0.0 and -0.0 differ and NaN equals
    // nothing); across kinds the hash numbers must agree as well.
    if (a.kind() != b.kind() && a.hash() != b.hash()) return false;
    using namespace cast;
    return std::visit(
        [&](const auto& x, const auto& y) -> bool {
            using X = std::decay_t<decltype(x)>;
            using Y = std::decay_t<decltype(y)>;
            if constexpr (std::is_same_v<X, Int> && std::is_same_v<Y, Int>) {
                return x.value == y.value;
            } else if constexpr (std::is_same_v<X, Int> && std::is_same_v<Y, Float>) {
                return static_cast<double>(x.value) == y.value;
            } else if constexpr (std::is_same_v<X, Float> && std::is_same_v<Y, Int>) {
                return x.value == static_cast<double>(y.value);
            } else if constexpr (std::is_same_v<X, Int> && std::is_same_v<Y, Bool>) {
                return x.value == (y.value ? 1 : 0);
            } else if constexpr (std::is_same_v<X, Bool> && std::is_same_v<Y, Int>) {
                return (x.value ? 1 : 0) == y.value;
            } else if constexpr (std::is_same_v<X, Float> && std::is_same_v<Y, Float>) {
                return x.value == y.value && std::signbit(x.value) == std::signbit(y.value);
            } else if constexpr (std::is_same_v<X, Str> && std::is_same_v<Y, Str>) {
                return x.value == y.value;
            } else if constexpr (std::is_same_v<X, Bool> && std::is_same_v<Y, Bool>) {
                return x.value == y.value;
            } else if constexpr (std::is_same_v<X, Iterable> && std::is_same_v<Y, Iterable>) {
                // One conversion, however often copied, is one value.
                return x.value.container.same_handle(y.value.container);
            } else if constexpr (std::is_same_v<X, Ind> && std::is_same_v<Y, Ind>) {
                return x.value.python_handle.get() == y.value.python_handle.get();
            } else if constexpr (std::is_same_v<X, Unknown> && std::is_same_v<Y, Unknown>) {
                return x.obj.get() == y.obj.get();
            } else if constexpr (std::is_same_v<X, Time> && std::is_same_v<Y, Time>) {
                return x.mantissa == y.mantissa;
            } else {
                return false;
            }
        },
        a.primitave, b.primitave);
}

std::string debug_py_handle(const PyObject* obj) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "Py(0x%" PRIxPTR ")", reinterpret_cast<uintptr_t>(obj));
    return buf;
}

namespace {

const char* iterable_kind_name(IterableKind kind) {
    switch (kind) {
        case IterableKind::List: return "List";
        case IterableKind::Dict: return "Dict";
        case IterableKind::Tuple: return "Tuple";
        case IterableKind::Set: return "Set";
    }
    return "?";
}

const char* time_kind_name(TimeKind kind) {
    switch (kind) {
        case TimeKind::Date: return "Date";
        case TimeKind::DateTime: return "DateTime";
        case TimeKind::DateTimeAware: return "DateTimeUtc";
        case TimeKind::Time: return "Time";
        case TimeKind::TimeAware: return "TimeUtc";
        case TimeKind::Delta: return "Delta";
    }
    return "?";
}

std::string debug_cast(const CastValue& value) {
    using namespace cast;
    return std::visit(
        [](const auto& x) -> std::string {
            using X = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<X, Int>) {
                return "Int(" + std::to_string(x.value) + ")";
            } else if constexpr (std::is_same_v<X, Float>) {
                return "Float(" + float_text(x.value) + ")";
            } else if constexpr (std::is_same_v<X, Str>) {
                return "Str(" + quoted_text(x.value.view()) + ")";
            } else if constexpr (std::is_same_v<X, Bool>) {
                return std::string("Bool(") + (x.value ? "true" : "false") + ")";
            } else if constexpr (std::is_same_v<X, Iterable>) {
                return std::string("Iterable(") + iterable_kind_name(x.value.kind) + "(" +
                       debug_py_handle(x.value.container.get()) + "))";
            } else if constexpr (std::is_same_v<X, Ind>) {
                return "Ind(StoredIndexable { python_handle: " + debug_py_handle(x.value.python_handle.get()) +
                       ", owned_handle: " + debug_record(x.value.record()) + " })";
            } else if constexpr (std::is_same_v<X, Time>) {
                return std::string("Time(") + time_kind_name(x.kind()) + "(" + std::to_string(x.ordinal()) + "))";
            } else {
                return "Unknown";
            }
        },
        value);
}

}  // namespace

std::string PyValue::debug_text(const PyObject* origin) const {
    if (origin == nullptr) origin = held_object();
    std::string out = "PyValue { obj: ";
    out += origin != nullptr ? "Some(" + debug_py_handle(origin) + ")" : std::string("None");
    out += ", primitave: " + debug_cast(primitave);
    out += ", hash: " + std::to_string(hash()) + " }";
    return out;
}

}  // namespace vorlane
