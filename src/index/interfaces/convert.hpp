#pragma once
// Values from Python objects and back (see engine/value.hpp for the values).
#include <vector>

#include "index/engine/value.hpp"
#include "python/py_ref.hpp"

namespace vorlane {

// Converts a Python object (the reference is handed over). Interpreter lock
// held. A value the index cannot take fails with a ConversionError (an int
// beyond 64 bits, an unhashable value, a str with lone surrogates...).
PyValue value_from_python(py::PyRef obj);

// A query operand: fails as value_from_python does. Interpreter lock held.
Operand operand_from_python(py::PyRef obj);

// The Python object of a value: the object the value was made from for
// containers, nested objects, dates and times, subclass values and other
// values; for numbers and strings an equal int, float or str (the one made for
// the last equal value read, while it is at hand). Interpreter lock held.
py::PyRef value_to_python(const PyValue& value);

// The elements of a container as converted values, in order (a dict has none).
// Interpreter lock held.
std::vector<PyValue> convert_elements(const PyIterable& container);
// The same, appended to `out`.
void convert_elements_into(const PyIterable& container, std::vector<PyValue>& out);

// Converts every element of a container value, recursively, so that a value
// whose elements cannot all be converted is refused before any index changes.
// The converted elements of every container met are recorded in `prepared`:
// the engine enters those instead of converting again, so no Python code (a
// user's __hash__, say) runs while index or object locks are held. A container
// met again on its own path is not walked again; nesting deeper than the
// interpreter allows raises RecursionError. Other values are ignored.
// Interpreter lock held.
void check_elements(const PyValue& v, PreparedElements& prepared);

}  // namespace vorlane
