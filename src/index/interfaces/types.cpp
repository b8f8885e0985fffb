#include "index/interfaces/types.hpp"

#include <atomic>

#include "index/interfaces/columns.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/groups.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/query.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/boundary.hpp"
#include "python/gil.hpp"

namespace vorlane {

namespace {

// Creation runs under the interpreter lock, which serialises first uses; the
// atomic lets later readers skip the lock.
template <PyTypeObject* (*Create)()>
PyTypeObject* lazy_type() {
    static std::atomic<PyTypeObject*> type{nullptr};
    if (PyTypeObject* t = type.load(std::memory_order_acquire)) return t;
    py::GilAcquire gil;
    if (PyTypeObject* t = type.load(std::memory_order_acquire)) return t;
    PyTypeObject* created = Create();
    if (created == nullptr) py::fail_from_python_error("could not create a type object");
    type.store(created, std::memory_order_release);
    return created;
}

}  // namespace

PyTypeObject* index_type() { return lazy_type<create_index_type>(); }
PyTypeObject* indexable_type() { return lazy_type<create_indexable_type>(); }
PyTypeObject* filtered_index_type() { return lazy_type<create_filtered_index_type>(); }
PyTypeObject* query_expr_type() { return lazy_type<create_query_expr_type>(); }
PyTypeObject* columns_type() { return lazy_type<create_columns_type>(); }
PyTypeObject* group_by_type() { return lazy_type<create_group_by_type>(); }

PyTypeObject* make_type(const char* name, size_t basicsize, unsigned int flags, PyType_Slot* slots) {
    PyType_Spec spec = {.name = name, .basicsize = static_cast<int>(basicsize), .itemsize = 0, .flags = flags, .slots = slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vorlane
