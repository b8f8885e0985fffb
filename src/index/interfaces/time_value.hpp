#pragma once
// Dates, times and durations as ordered values: datetime's date, datetime,
// time and timedelta (with their subclasses, such as pandas' Timestamp and
// Timedelta), and numpy's datetime64 and timedelta64. Each becomes the order
// key of its kind (time_key.hpp) and keeps the object it was made from, which
// a read gives back. Values finer than a microsecond are refused, as are
// values outside the range a key holds.
#include <Python.h>

#include <optional>

#include "index/engine/value.hpp"

namespace vorlane {

// numpy's datetime64 and timedelta64 types, once numpy is loaded (null before).
struct NumpyTimeTypes {
    PyTypeObject* datetime64 = nullptr;
    PyTypeObject* timedelta64 = nullptr;
};

// The value of `ref` if it is a date, time or duration, else nullopt (the
// reference is then left with the caller). A "not a time" (NaT) becomes a NaN
// that keeps the object: it matches nothing, as NaN does. Fails with a
// ConversionError for values with nanoseconds or out of range. Interpreter lock held.
std::optional<PyValue> time_from_python(py::PyRef& ref, const NumpyTimeTypes& numpy);

// A new object for a time key (the answers: counts, min and max): a date, a
// naive datetime, a datetime in UTC for an instant, a time, a time with a
// fixed offset for an aware time, or a timedelta. Interpreter lock held.
py::PyRef time_key_to_python(const OrderKey& key);

}  // namespace vorlane
