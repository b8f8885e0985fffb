#include "index/interfaces/indexable_copy.hpp"

#include <string>
#include <utility>
#include <vector>

#include "index/structures/string_interner.hpp"
#include "index/engine/record.hpp"
#include "index/interfaces/convert.hpp"
#include "index/interfaces/args.hpp"
#include "index/interfaces/boundary.hpp"
#include "python/py_ref.hpp"

namespace vorlane {

using py::PyRef;

PyObject* indexable_reduce(PyObject* self, PyObject*) {
    return py::guarded_object([&] {
        // The values are copied out under the lock and turned into Python
        // objects after it, as reading an attribute does.
        std::vector<std::pair<std::string, PyValue>> values;
        {
            auto storage = lock_attributes_with_gil(indexable_record(self));
            const ImmutableInterner& snapshot = StrInterner::global().snapshot();
            storage->for_each([&](uint32_t id, const PyValue& value) { values.emplace_back(std::string(snapshot.name(id)), value); });
        }
        PyRef state = PyRef::checked(PyDict_New());
        for (const auto& [name, value] : values) {
            PyRef key = PyRef::checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            PyRef object = value_to_python(value);
            if (PyDict_SetItem(state.get(), key.get(), object.get()) < 0) throw py::PyErrAlreadySet();
        }
        PyRef copyreg = PyRef::checked(PyImport_ImportModule("copyreg"));
        PyRef newobj = PyRef::checked(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
        PyRef args = PyRef::checked(PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self))));
        return PyRef::checked(PyTuple_Pack(3, newobj.get(), args.get(), state.get())).release();
    });
}

PyObject* indexable_setstate(PyObject* self, PyObject* state) {
    return py::guarded_object([&] {
        if (!PyDict_Check(state)) py::raise_argument_type("state", "dict", state);
        // A snapshot of the items: assigning runs Python code (conversion), which
        // must not see the dict change under an iteration.
        PyRef items = PyRef::checked(PyDict_Items(state));
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (PyObject_SetAttr(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
                throw py::PyErrAlreadySet();
            }
        }
        return PyRef::borrow(Py_None).release();
    });
}

}  // namespace vorlane
