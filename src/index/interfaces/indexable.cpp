#include "index/interfaces/indexable.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "index/structures/id_alloc.hpp"
#include "index/engine/index.hpp"
#include "index/engine/index_links.hpp"
#include "index/engine/write.hpp"
#include "index/structures/string_interner.hpp"
#include "index/interfaces/convert.hpp"
#include "index/interfaces/indexable_copy.hpp"
#include "index/interfaces/types.hpp"
#include "index/interfaces/args.hpp"
#include "index/interfaces/boundary.hpp"
#include "python/gil.hpp"

namespace vorlane {

using py::PyRef;

void prepare_for_index(const Indexable& record, PreparedElements& prepared) {
    record.mark_listed();
    // Copies of the container values: an object's first few in place (a bulk add
    // checks millions of objects), any further ones in a vector.
    constexpr size_t kInPlace = 4;
    std::array<std::optional<std::pair<uint32_t, PyValue>>, kInPlace> first;
    std::vector<std::pair<uint32_t, PyValue>> more;
    size_t count = 0;
    {
        auto storage = lock_attributes_with_gil(record);
        storage->for_each([&](uint32_t attr_id, const PyValue& v) {
            if (v.kind() != Kind::Iterable) return;
            if (count < kInPlace) {
                first[count].emplace(attr_id, v);
            } else {
                more.emplace_back(attr_id, v);
            }
            ++count;
        });
    }
    // Converting runs Python code: no lock of the object is held meanwhile.
    prepared.start_object();
    const auto check_one = [&](const std::pair<uint32_t, PyValue>& entry) {
        py::converting_attribute(StrInterner::global().snapshot().name(entry.first),
                                 [&] { check_elements(entry.second, prepared); });
    };
    for (size_t k = 0; k < std::min(count, kInPlace); ++k) check_one(*first[k]);
    for (const auto& entry : more) check_one(entry);
}

namespace {

PyIndexableObject* as_indexable(PyObject* self) { return reinterpret_cast<PyIndexableObject*>(self); }

// Released objects of the exact base type are kept for reuse.
constexpr size_t kFreeListCapacity = 512;
std::vector<PyObject*>& free_list() {
    static auto* list = new std::vector<PyObject*>();  // touched only with the interpreter lock held
    return *list;
}

std::optional<std::string_view> utf8_name(PyObject* name) {
    if (!PyUnicode_Check(name)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) return std::nullopt;
    return std::string_view(utf8, static_cast<size_t>(size));
}

// Runs `fn`; a conversion error it raises is named after attribute `name` (a
// str), encoded only then.
template <class Fn>
decltype(auto) converting_named(PyObject* name, Fn&& fn) {
    try {
        return fn();
    } catch (py::ConversionError& e) {
        if (const auto text = utf8_name(name)) {  // encoded before: cached
            e.name_attribute(*text);
        } else {
            PyErr_Clear();
        }
        throw;
    }
}

uint32_t attribute_id(std::string_view name) {
    if (auto id = StrInterner::global().snapshot().get(name)) return *id;
    return StrInterner::global().intern(name);
}

// Attribute ids of the name objects reads and writes met last, by the name
// object's address: the names in code are the same interned objects every
// time, so a read finds its id without encoding or hashing the name. A slot
// holds a reference to its name, so an address found there is never a freed
// string's. Touched only with the interpreter lock held.
struct NameSlot {
    PyObject* name = nullptr;
    uint32_t id = 0;
    // Where the attribute stood in the key table of the object read last: an
    // object of the same table finds it there with no search. Only shared
    // tables, which live until the process ends, are remembered.
    uint32_t position = 0;
    const KeyShape* shape = nullptr;
};
constexpr size_t kNameSlots = 1024;
std::array<NameSlot, kNameSlots> g_name_slots;

NameSlot& name_slot(PyObject* name) noexcept {
    return g_name_slots[(reinterpret_cast<uintptr_t>(name) >> 4) % kNameSlots];
}

// The id of an exact str name met before, if its slot still holds it.
std::optional<uint32_t> remembered_attribute_id(PyObject* name) noexcept {
    const NameSlot& slot = name_slot(name);
    if (slot.name == name) return slot.id;
    return std::nullopt;
}

// The value of a name met before in `values`, found through the key table
// its slot remembers; null if the slot no longer holds the name or the
// attribute is not stored.
const PyValue* remembered_value(PyObject* name, const AttributeMap& values) noexcept {
    NameSlot& slot = name_slot(name);
    if (slot.name != name) return nullptr;
    const KeyShape* shape = values.shape();
    if (slot.shape == shape) return &values.at(slot.position);
    const auto position = shape->find(slot.id);
    if (!position) return nullptr;
    if (shape->is_shared()) {
        slot.shape = shape;
        slot.position = *position;
    }
    return &values.at(*position);
}

void remember_attribute_id(PyObject* name, uint32_t id) noexcept {
    if (!PyUnicode_CheckExact(name)) return;  // a subclass's text could change its meaning
    NameSlot& slot = name_slot(name);
    Py_INCREF(name);
    PyObject* previous = std::exchange(slot.name, name);
    slot.id = id;
    slot.shape = nullptr;
    Py_XDECREF(previous);  // a string's release runs no Python code
}

// The object the last construction made, with its keyword dict: the
// interpreter calls __init__ with that same dict right after __new__, and
// nothing runs in between. The dict's address alone could be a later dict's,
// so the marker also carries the identities of its keys and values, and any
// attribute write drops it. Touched only with the interpreter lock held.
struct Constructed {
    PyObject* self = nullptr;
    PyObject* kwargs = nullptr;
    uint64_t fingerprint = 0;
};
Constructed g_constructed;

uint64_t kwargs_fingerprint(PyObject* kwargs) {
    uint64_t hash = static_cast<uint64_t>(PyDict_GET_SIZE(kwargs));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        hash = (hash ^ reinterpret_cast<uintptr_t>(key)) * 0x100000001b3ULL;
        hash = (hash ^ reinterpret_cast<uintptr_t>(value)) * 0x100000001b3ULL;
    }
    return hash;
}

PyObject* indexable_new(PyTypeObject* cls, PyObject* /*args: ignored*/, PyObject* kwargs) {
    return py::guarded_object([&]() -> PyObject* {
        AttributeMap attributes;
        if (kwargs != nullptr) {
            attributes.reserve(static_cast<size_t>(PyDict_GET_SIZE(kwargs)));
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                const auto name = utf8_name(key);
                if (!name) {  // a keyword that cannot be encoded is skipped
                    PyErr_Clear();
                    continue;
                }
                const uint32_t id = attribute_id(*name);
                attributes.insert(id, py::converting_attribute(*name, [&] { return value_from_python(PyRef::borrow(value)); }));
            }
        }
        PyObject* self = nullptr;
        if (cls == indexable_type() && !free_list().empty()) {
            self = free_list().back();
            free_list().pop_back();
            PyObject_Init(self, cls);  // takes a reference to the type again
        } else {
            allocfunc alloc = cls->tp_alloc != nullptr ? cls->tp_alloc : PyType_GenericAlloc;
            self = alloc(cls, 0);
            if (self == nullptr) throw py::PyErrAlreadySet();
        }
        new (&as_indexable(self)->record) Indexable(std::move(attributes));
        if (!PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);  // one taken from the free list
        if (kwargs != nullptr) g_constructed = {self, kwargs, kwargs_fingerprint(kwargs)};
        return self;
    });
}

// Indexable.__init__(*_args, **kwargs): assigns each keyword as an attribute,
// so that a subclass's __init__ can pass attributes on with
// super().__init__(**attrs). Right after construction the same keywords are
// stored already: the call that follows __new__ with the same dict skips them.
int indexable_init(PyObject* self, PyObject* /*args: ignored*/, PyObject* kwargs) {
    const Constructed constructed = std::exchange(g_constructed, Constructed{});
    if (kwargs == nullptr) return 0;
    if (constructed.self == self && constructed.kwargs == kwargs && constructed.fingerprint == kwargs_fingerprint(kwargs)) {
        return 0;
    }
    return py::guarded_status([&] {
        // A copy: assignments run Python code that could change the caller's dict.
        PyRef items = PyRef::checked(PyDict_Items(kwargs));
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            PyObject* key = PyTuple_GET_ITEM(pair, 0);
            if (!utf8_name(key)) {  // skipped, as the constructor skips it
                PyErr_Clear();
                continue;
            }
            if (PyObject_SetAttr(self, key, PyTuple_GET_ITEM(pair, 1)) < 0) throw py::PyErrAlreadySet();
        }
        return 0;
    });
}

// Attribute values released by a release already under way on this thread:
// a chain of objects each holding the last reference to the next is let go
// of one object after another, not by recursion as deep as the chain.
thread_local bool t_releasing_values = false;
thread_local std::vector<AttributeMap>* t_released_values = nullptr;

void release_values(AttributeMap values) {
    if (t_releasing_values) {
        if (t_released_values == nullptr) t_released_values = new std::vector<AttributeMap>();
        t_released_values->push_back(std::move(values));
        return;
    }
    t_releasing_values = true;
    { AttributeMap gone = std::move(values); }
    while (t_released_values != nullptr && !t_released_values->empty()) {
        AttributeMap gone = std::move(t_released_values->back());
        t_released_values->pop_back();
    }
    t_releasing_values = false;
}

void indexable_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    Indexable& record = as_indexable(self)->record;
    std::optional<AttributeMap> values;
    if (!record.attributes.is_poisoned()) values.emplace(std::move(*record.attributes.lock()));
    record.~Indexable();
    if (type == indexable_type() && free_list().size() < kFreeListCapacity) {
        free_list().push_back(self);
    } else {
        type->tp_free(self);
    }
    if (values) release_values(std::move(*values));
    Py_DECREF(type);
    py::release_pending();
}

// Reports to the cycle collector every Python object a stored value holds a
// reference to (its identity, or the subclass object a number or string keeps).
// An attribute value owns its references; the copies the engine makes share
// them and report nothing.
int traverse_value(const PyValue& value, visitproc visit, void* arg) {
    PyObject* kept = nullptr;
    if (const auto* i = value.as<cast::Int>()) {
        if (i->origin) kept = i->origin.get();
    } else if (const auto* f = value.as<cast::Float>()) {
        if (f->origin) kept = f->origin.get();
    } else if (const auto* str = value.as<cast::Str>()) {
        kept = static_cast<PyObject*>(str->value.keeper());
    } else if (const auto* nested = value.as<cast::Ind>()) {
        if (nested->value.python_handle.owns_reference()) kept = nested->value.python_handle.get();
    } else {
        kept = value.held_object();
    }
    Py_VISIT(kept);
    return 0;
}

// The cycle collector's view of the object: each attribute value owns the
// references it holds (a value's engine copies share them, and report nothing).
// Run with the interpreter lock held, which excludes every writer of the
// storage; a poisoned storage reports nothing, which only keeps objects alive.
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const AttributeMap* values = as_indexable(self)->record.values_with_gil();
    if (values == nullptr) return 0;
    int status = 0;
    values->for_each([&](uint32_t, const PyValue& value) {
        if (status == 0) status = traverse_value(value, visit, arg);
    });
    return status;
}

// Breaks a cycle the collector found unreachable: the object lets go of its
// attribute values. No index holds it (an index's handle would have kept it
// reachable), so no index loses track of a value.
int indexable_clear(PyObject* self) {
    Indexable& record = as_indexable(self)->record;
    if (record.attributes.is_poisoned()) return 0;
    AttributeMap gone;
    {
        auto storage = lock_attributes_with_gil(record);
        std::swap(gone, *storage);
    }
    release_values(std::move(gone));
    return 0;
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) {
    return py::guarded_object([&]() -> PyObject* {
        const Indexable& record = as_indexable(self)->record;
        // The common read: a name met before, read with no lock (the
        // interpreter lock excludes every writer).
        if (const AttributeMap* values = record.values_with_gil()) {
            if (const PyValue* value = remembered_value(name, *values)) return value_to_python(*value).release();
        }
        if (const auto text = utf8_name(name)) {
            std::optional<PyValue> found;
            {
                auto storage = lock_attributes_with_gil(record);
                const uint32_t id = StrInterner::global().intern(*text);
                remember_attribute_id(name, id);
                if (const PyValue* value = storage->get(id)) found.emplace(*value);
            }
            if (found) return value_to_python(*found).release();
            PyObject* result = PyObject_GenericGetAttr(self, name);
            if (result != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
        } else if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_UnicodeError)) {
            PyErr_SetString(PyExc_AttributeError, "Invalid attribute name");
        }
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetObject(PyExc_AttributeError, name);
        }
        throw py::PyErrAlreadySet();
    });
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
    g_constructed = Constructed{};  // what __new__ stored may have changed since
    return py::guarded_status([&] {
        if (value == nullptr) py::raise(PyExc_AttributeError, "can't delete attribute");
        if (!PyUnicode_Check(name)) py::raise_argument_type("name", "str", name);
        uint32_t id = 0;
        if (const auto remembered = remembered_attribute_id(name)) {
            id = *remembered;
        } else {
            const auto text = utf8_name(name);  // a str: only an encoding error fails here
            if (!text) throw py::PyErrAlreadySet();
            id = attribute_id(*text);
            remember_attribute_id(name, id);
        }
        PyValue converted = converting_named(name, [&] { return value_from_python(PyRef::borrow(value)); });
        const Indexable& record = as_indexable(self)->record;
        if (converted.kind() != Kind::Iterable) {
            static const PreparedElements kNoElements;  // only containers have elements to prepare
            const std::optional<PyValue> old = write_attribute(record, id, std::move(converted), kNoElements);
            return 0;
        }
        PreparedElements prepared;
        converting_named(name, [&] { check_elements(converted, prepared); });
        const std::optional<PyValue> old = write_attribute(record, id, std::move(converted), prepared);
        return 0;
    });
}

PyObject* indexable_dir(PyObject* self, PyObject*) {
    return py::guarded_object([&] {
        PyRef names = PyRef::checked(PyList_New(0));
        {
            const Indexable& record = as_indexable(self)->record;
            auto storage = lock_attributes_with_gil(record);
            // Read after locking: every id in the storage is published by now.
            const ImmutableInterner& snapshot = StrInterner::global().snapshot();
            storage->for_each([&](uint32_t id, const PyValue&) {
                const std::string_view text = snapshot.name(id);
                PyRef s = PyRef::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
                if (PyList_Append(names.get(), s.get()) < 0) throw py::PyErrAlreadySet();
            });
        }
        PyRef object_dir = PyRef::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__dir__"));
        PyRef base = PyRef::checked(PyObject_CallOneArg(object_dir.get(), self));
        PyRef extended = PyRef::checked(PySequence_List(base.get()));
        const Py_ssize_t n = PyList_GET_SIZE(extended.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyList_Append(names.get(), PyList_GET_ITEM(extended.get(), i)) < 0) throw py::PyErrAlreadySet();
        }
        return names.release();
    });
}

PyObject* indexable_repr(PyObject* self) {
    return py::guarded_object([&] {
        size_t count = 0;
        {
            auto storage = lock_attributes_with_gil(as_indexable(self)->record);
            count = storage->size();
        }
        return PyUnicode_FromFormat("<Indexable with %zu attributes>", count);
    });
}

PyMethodDef kMethods[] = {
    {"__dir__", py::method_ptr(indexable_dir), METH_NOARGS, "__dir__($self)\n--\n\n"},
    {"__reduce__", py::method_ptr(indexable_reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__setstate__", py::method_ptr(indexable_setstate), METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_indexable_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
        {Py_tp_init, reinterpret_cast<void*>(indexable_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
        {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
        {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
        {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
        {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
        {Py_tp_methods, kMethods},
        {0, nullptr},
    };
    return make_type("PyVorlane.Indexable", sizeof(PyIndexableObject), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, slots);
}

}  // namespace vorlane
