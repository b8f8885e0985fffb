#include "index/interfaces/time_value.hpp"

// clang-format off
#include <datetime.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "index/interfaces/boundary.hpp"

namespace vorlane {

namespace {

using py::PyRef;

constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr int64_t kMicrosPerDay = 86'400 * kMicrosPerSecond;

// The datetime module's C interface (a file-level pointer of datetime.h),
// fetched on first use; the interpreter lock guards it.
void need_datetime_api() {
    if (PyDateTimeAPI != nullptr) return;
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw py::ConversionError::from_python_error();
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
constexpr int64_t days_from_civil(int64_t y, int64_t m, int64_t d) noexcept {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}
struct Civil {
    int year;
    int month;
    int day;
};
constexpr Civil civil_from_days(int64_t z) noexcept {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    return Civil{static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0)), static_cast<int>(m), static_cast<int>(d)};
}
static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(civil_from_days(days_from_civil(2024, 2, 29)).day == 29);

// The dates datetime can hold: the microseconds of a naive datetime or of an
// instant must lie within them, so that every key gives back an object.
constexpr int64_t kFirstDay = days_from_civil(1, 1, 1);
constexpr int64_t kLastDay = days_from_civil(9999, 12, 31);

std::string repr_text(PyObject* obj) {
    std::string text = "the value";
    if (PyRef repr = PyRef::steal(PyObject_Repr(obj))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &size)) {
            text.assign(utf8, static_cast<size_t>(std::min<Py_ssize_t>(size, 200)));
        }
    }
    PyErr_Clear();
    return text;
}

[[noreturn]] void refuse_range(PyObject* obj) {
    throw py::ConversionError(PyExc_OverflowError,
                              repr_text(obj) + " is outside the range of dates and times that can be indexed "
                                               "(years 1 to 9999; durations within about 18,000 years)");
}

[[noreturn]] void refuse_nanoseconds(PyObject* obj) {
    throw py::ConversionError(PyExc_ValueError, repr_text(obj) +
                                                    " has a part finer than a microsecond, which cannot be indexed "
                                                    "exactly; round it to microseconds first");
}

// A new reference from a call that may fail: its error is the conversion's.
PyRef owned(PyObject* result) {
    if (result == nullptr) throw py::ConversionError::from_python_error();
    return PyRef::steal(result);
}

// Python's truth of a result (a comparison's, say); its error is the conversion's.
bool truth_of(PyObject* result) {
    const int truth = PyObject_IsTrue(result);
    if (truth < 0) throw py::ConversionError::from_python_error();
    return truth != 0;
}

int64_t delta_micros(PyObject* delta) {
    return PyDateTime_DELTA_GET_DAYS(delta) * kMicrosPerDay +
           PyDateTime_DELTA_GET_SECONDS(delta) * kMicrosPerSecond + PyDateTime_DELTA_GET_MICROSECONDS(delta);
}

// The UTC offset an aware value reports (`obj.utcoffset()`), in microseconds;
// none for a naive one (no tzinfo, or one whose offset is None).
std::optional<int64_t> utc_offset(PyObject* obj, PyObject* tzinfo) {
    if (tzinfo == Py_None) return std::nullopt;
    PyRef offset = owned(PyObject_CallMethod(obj, "utcoffset", nullptr));
    if (offset.get() == Py_None) return std::nullopt;
    if (!PyDelta_Check(offset.get())) {
        throw py::ConversionError(PyExc_TypeError, "utcoffset() of " + repr_text(obj) + " is not a timedelta");
    }
    return delta_micros(offset.get());
}

// Whether a subclass's object (pandas' Timestamp or Timedelta) has a
// nanosecond part, which the base type has no room for.
bool has_nanoseconds(PyObject* obj, const char* name) {
    PyObject* part = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int found = PyObject_GetOptionalAttrString(obj, name, &part);
#else
    // 3.12 has no PyObject_GetOptionalAttrString: a missing attribute is an AttributeError to clear.
    part = PyObject_GetAttrString(obj, name);
    const int found = part != nullptr ? 1 : PyErr_ExceptionMatches(PyExc_AttributeError) ? (PyErr_Clear(), 0) : -1;
#endif
    if (found < 0) throw py::ConversionError::from_python_error();
    if (found == 0) return false;
    return truth_of(owned(part).get());
}

// "Not a time" (pandas' and numpy's NaT) equals nothing, itself included.
bool is_not_a_time(PyObject* obj) {
    return truth_of(owned(PyObject_RichCompare(obj, obj, Py_NE)).get());
}

PyValue make_time(TimeKind kind, int64_t ordinal, py::PyRef& ref) {
    if (!time_ordinal_fits(ordinal)) refuse_range(ref.get());
    return PyValue(cast::Time{time_order_key(kind, ordinal).mantissa, py::SharedPyRef(std::move(ref))});
}

PyValue not_a_time(py::PyRef& ref) {
    return PyValue(cast::Float(std::numeric_limits<double>::quiet_NaN(), py::SharedPyRef(std::move(ref))));
}

PyValue from_datetime(py::PyRef& ref) {
    PyObject* obj = ref.get();
    const bool exact = PyDateTime_CheckExact(obj);
    if (!exact) {
        if (is_not_a_time(obj)) return not_a_time(ref);
        if (has_nanoseconds(obj, "nanosecond")) refuse_nanoseconds(obj);
    }
    const int64_t days = days_from_civil(PyDateTime_GET_YEAR(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_DAY(obj));
    const int64_t local = days * kMicrosPerDay + PyDateTime_DATE_GET_HOUR(obj) * 3600 * kMicrosPerSecond +
                          PyDateTime_DATE_GET_MINUTE(obj) * 60 * kMicrosPerSecond +
                          PyDateTime_DATE_GET_SECOND(obj) * kMicrosPerSecond + PyDateTime_DATE_GET_MICROSECOND(obj);
    const auto offset = utc_offset(obj, PyDateTime_DATE_GET_TZINFO(obj));
    if (!offset) return make_time(TimeKind::DateTime, local, ref);
    const int64_t instant = local - *offset;
    // An instant whose UTC date datetime cannot hold could not be given back.
    if (instant < kFirstDay * kMicrosPerDay || instant >= (kLastDay + 1) * kMicrosPerDay) refuse_range(obj);
    return make_time(TimeKind::DateTimeAware, instant, ref);
}

PyValue from_time(py::PyRef& ref) {
    PyObject* obj = ref.get();
    const int64_t local = PyDateTime_TIME_GET_HOUR(obj) * 3600 * kMicrosPerSecond +
                          PyDateTime_TIME_GET_MINUTE(obj) * 60 * kMicrosPerSecond +
                          PyDateTime_TIME_GET_SECOND(obj) * kMicrosPerSecond + PyDateTime_TIME_GET_MICROSECOND(obj);
    const auto offset = utc_offset(obj, PyDateTime_TIME_GET_TZINFO(obj));
    if (!offset) return make_time(TimeKind::Time, local, ref);
    return make_time(TimeKind::TimeAware, local - *offset, ref);
}

PyValue from_delta(py::PyRef& ref) {
    PyObject* obj = ref.get();
    if (!PyDelta_CheckExact(obj)) {
        if (is_not_a_time(obj)) return not_a_time(ref);
        if (has_nanoseconds(obj, "nanoseconds")) refuse_nanoseconds(obj);
    }
    const int64_t days = PyDateTime_DELTA_GET_DAYS(obj);
    if (days <= -kTimeOrdinalLimit / kMicrosPerDay || days >= kTimeOrdinalLimit / kMicrosPerDay) refuse_range(obj);
    return make_time(TimeKind::Delta, delta_micros(obj), ref);
}

int64_t int64_of(PyObject* number) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::ConversionError::from_python_error();
    if (overflow != 0) throw py::ConversionError(PyExc_OverflowError, "count outside the signed 64-bit range");
    return v;
}

// numpy's value in `unit` as a count (`value.astype("<type>[unit]").astype("int64")`).
int64_t numpy_count(PyObject* obj, const char* dtype) {
    PyRef converted = owned(PyObject_CallMethod(obj, "astype", "s", dtype));
    PyRef count = owned(PyObject_CallMethod(converted.get(), "astype", "s", "int64"));
    PyRef index = owned(PyNumber_Index(count.get()));
    return int64_of(index.get());
}

// Whether numpy's value equals itself in microseconds (no finer part).
bool numpy_exact_in_micros(PyObject* obj, const char* dtype) {
    PyRef micros = owned(PyObject_CallMethod(obj, "astype", "s", dtype));
    return truth_of(owned(PyObject_RichCompare(micros.get(), obj, Py_EQ)).get());
}

PyValue from_datetime64(py::PyRef& ref) {
    PyObject* obj = ref.get();
    if (is_not_a_time(obj)) return not_a_time(ref);
    // Days first: a coarse unit cannot overflow, and bounds what the finer one may hold.
    const int64_t days = numpy_count(obj, "datetime64[D]");
    if (days < kFirstDay || days > kLastDay) refuse_range(obj);
    if (!numpy_exact_in_micros(obj, "datetime64[us]")) refuse_nanoseconds(obj);
    return make_time(TimeKind::DateTime, numpy_count(obj, "datetime64[us]"), ref);
}

PyValue from_timedelta64(py::PyRef& ref) {
    PyObject* obj = ref.get();
    if (is_not_a_time(obj)) return not_a_time(ref);
    const int64_t days = numpy_count(obj, "timedelta64[D]");
    if (days <= -kTimeOrdinalLimit / kMicrosPerDay || days >= kTimeOrdinalLimit / kMicrosPerDay) refuse_range(obj);
    if (!numpy_exact_in_micros(obj, "timedelta64[us]")) refuse_nanoseconds(obj);
    return make_time(TimeKind::Delta, numpy_count(obj, "timedelta64[us]"), ref);
}

PyRef fixed_offset(int64_t micros) {
    PyRef delta = PyRef::checked(PyDelta_FromDSU(0, static_cast<int>(micros / kMicrosPerSecond),
                                          static_cast<int>(micros % kMicrosPerSecond)));
    return PyRef::checked(PyTimeZone_FromOffset(delta.get()));
}

}  // namespace

std::optional<PyValue> time_from_python(py::PyRef& ref, const NumpyTimeTypes& numpy) {
    PyObject* obj = ref.get();
    PyTypeObject* type = Py_TYPE(obj);
    if (numpy.datetime64 != nullptr && type == numpy.datetime64) return from_datetime64(ref);
    if (numpy.timedelta64 != nullptr && type == numpy.timedelta64) return from_timedelta64(ref);
    need_datetime_api();
    // A datetime is a date too: it is asked first.
    if (PyDateTime_Check(obj)) return from_datetime(ref);
    if (PyDate_Check(obj)) {
        if (!PyDate_CheckExact(obj) && is_not_a_time(obj)) return not_a_time(ref);
        const int64_t days = days_from_civil(PyDateTime_GET_YEAR(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_DAY(obj));
        return make_time(TimeKind::Date, days, ref);
    }
    if (PyTime_Check(obj)) return from_time(ref);
    if (PyDelta_Check(obj)) return from_delta(ref);
    return std::nullopt;
}

py::PyRef time_key_to_python(const OrderKey& key) {
    need_datetime_api();
    const auto [kind, ordinal] = time_of_key(key);
    const auto floor_div = [](int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); };
    const auto split = [&](int64_t micros, int64_t& days) {
        days = floor_div(micros, kMicrosPerDay);
        return micros - days * kMicrosPerDay;  // microseconds into the day
    };
    const auto clock = [](int64_t in_day, int& h, int& m, int& s, int& us) {
        h = static_cast<int>(in_day / (3600 * kMicrosPerSecond));
        m = static_cast<int>(in_day / (60 * kMicrosPerSecond) % 60);
        s = static_cast<int>(in_day / kMicrosPerSecond % 60);
        us = static_cast<int>(in_day % kMicrosPerSecond);
    };
    int h = 0, m = 0, s = 0, us = 0;
    switch (kind) {
        case TimeKind::Date: {
            const Civil c = civil_from_days(ordinal);
            return PyRef::checked(PyDate_FromDate(c.year, c.month, c.day));
        }
        case TimeKind::DateTime:
        case TimeKind::DateTimeAware: {
            int64_t days = 0;
            clock(split(ordinal, days), h, m, s, us);
            const Civil c = civil_from_days(days);
            PyObject* tz = kind == TimeKind::DateTimeAware ? PyDateTime_TimeZone_UTC : Py_None;
            return PyRef::checked(PyDateTimeAPI->DateTime_FromDateAndTime(c.year, c.month, c.day, h, m, s, us, tz,
                                                                   PyDateTimeAPI->DateTimeType));
        }
        case TimeKind::Time: {
            clock(ordinal, h, m, s, us);
            return PyRef::checked(PyTime_FromTime(h, m, s, us));
        }
        case TimeKind::TimeAware: {
            // Within the day in UTC; before or after it, a time early or late
            // in the day at the offset of whole seconds that reaches the
            // instant (Python compares times by offsets in whole seconds).
            int64_t local = ordinal;
            PyRef tz = PyRef::borrow(PyDateTime_TimeZone_UTC);
            if (ordinal < 0 || ordinal >= kMicrosPerDay) {
                const int64_t excess = ordinal < 0 ? -ordinal : ordinal - kMicrosPerDay + 1;
                int64_t seconds = (excess + kMicrosPerSecond - 1) / kMicrosPerSecond;
                // An offset must stay within a day: the one instant that would
                // need a whole day takes its offset to the microsecond.
                int64_t offset = std::min(seconds * kMicrosPerSecond, kMicrosPerDay - 1);
                if (ordinal >= kMicrosPerDay) offset = -offset;
                local = ordinal + offset;
                tz = fixed_offset(offset);
            }
            clock(local, h, m, s, us);
            return PyRef::checked(PyDateTimeAPI->Time_FromTime(h, m, s, us, tz.get(), PyDateTimeAPI->TimeType));
        }
        case TimeKind::Delta: {
            int64_t days = 0;
            const int64_t in_day = split(ordinal, days);
            return PyRef::checked(PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(in_day / kMicrosPerSecond),
                                           static_cast<int>(in_day % kMicrosPerSecond)));
        }
    }
    throw py::ConversionError(PyExc_ValueError, "unknown kind of time key");
}

}  // namespace vorlane
