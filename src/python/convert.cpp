#include "python/convert.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "circuit/parser.hpp"

namespace zetrion::py {
namespace {

bool check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        set_error(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
        return false;
    }
    return true;
}

// More items than any spectrum has: an object that reports (or yields) more
// is refused instead of read until memory runs out.
constexpr Py_ssize_t kMaxItems = Py_ssize_t(1) << 28;

// `count`: "reports 1000000000000 items" or "yields more items".
bool too_many_items(const std::string& count) {
    set_error(PyExc_ValueError, "sequence " + count + " than the " + std::to_string(kMaxItems) +
                                    " a spectrum or parameter vector may hold");
    return false;
}

// Reserves by the reported length, which is only a hint: an object may claim
// any length, so the reservation is capped and longer inputs grow as read.
// False (error set) when the length is beyond kMaxItems, or asking for it
// raised an error that must not be swallowed.
template <class T>
bool reserve_hint(PyObject* obj, std::vector<T>& out) {
    constexpr Py_ssize_t kMaxReserve = Py_ssize_t(1) << 20;
    const Py_ssize_t n = PyObject_LengthHint(obj, 0);
    if (n < 0) return static_cast<bool>(take_replaceable_error());
    if (n > kMaxItems) return too_many_items("reports " + std::to_string(n) + " items, more");
    out.reserve(static_cast<std::size_t>(std::min(n, kMaxReserve)));
    return true;
}

bool native_format(const char* fmt, const char* want) {
    if (!fmt) return false;
    if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
    return std::strcmp(fmt, want) == 0;
}

// A one-dimensional buffer of native doubles (or complex doubles) is read
// directly: the same values the float protocol would give, without a Python
// object per item. Anything else returns false, with no error set unless an
// interrupt or MemoryError arrived while asking for the buffer.
template <class T>
bool read_buffer(PyObject* obj, std::vector<T>& out) {
    if (!PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) {
        // A buffer this reader cannot take is read item by item instead,
        // unless the attempt was interrupted or ran out of memory (then the
        // error stays pending for the caller).
        take_replaceable_error();
        return false;
    }
    constexpr bool complex = std::is_same_v<T, Cx>;
    const bool ok = view.ndim == 1 && view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) &&
                    native_format(view.format, complex ? "Zd" : "d");
    if (ok) {
        out.resize(static_cast<std::size_t>(view.shape[0]));
        const char* base = static_cast<const char*>(view.buf);
        for (Py_ssize_t i = 0; i < view.shape[0]; ++i) std::memcpy(&out[i], base + i * view.strides[0], sizeof(T));
    }
    PyBuffer_Release(&view);
    return ok;
}

template <class T, class Convert>
bool extract_seq(PyObject* obj, std::vector<T>& out, Convert convert) {
    out.clear();
    if (!check_sequence(obj)) return false;
    if (read_buffer(obj, out)) return true;
    if (PyErr_Occurred()) return false;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj)));
        // The list cannot change under us: conversions of exact floats run no
        // Python code, and other items are held while converted.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
            T v;
            if (!convert(item.get(), v)) return false;
            out.push_back(v);
        }
        return true;
    }
    if (!reserve_hint(obj, out)) return false;
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    for (;;) {
        Ref item(PyIter_Next(it.get()));
        if (!item) break;
        if (out.size() >= static_cast<std::size_t>(kMaxItems)) return too_many_items("yields more items");
        T v;
        if (!convert(item.get(), v)) return false;
        out.push_back(v);
    }
    return !PyErr_Occurred();
}

bool to_double(PyObject* o, double& v) {
    v = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    return !(v == -1.0 && PyErr_Occurred());
}

bool to_complex(PyObject* o, Cx& v) {
    const Py_complex c = PyComplex_AsCComplex(o);
    if (c.real == -1.0 && PyErr_Occurred()) return false;
    v = {c.real, c.imag};
    return true;
}

}  // namespace

bool extract_f64_seq(PyObject* obj, std::vector<double>& out) { return extract_seq(obj, out, to_double); }

bool extract_complex_seq(PyObject* obj, std::vector<Cx>& out) { return extract_seq(obj, out, to_complex); }

bool extract_str(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        set_error(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'PyString'");
        return false;
    }
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(obj, &n)) {
        out.assign(s, static_cast<std::size_t>(n));
        return true;
    }
    if (!take_replaceable_error()) return false;  // lone surrogates are kept below
    Py_UCS4* cps = PyUnicode_AsUCS4Copy(obj);
    if (!cps) return false;
    out = u32_to_utf8(std::u32string_view(reinterpret_cast<const char32_t*>(cps),
                                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))));
    PyMem_Free(cps);
    return true;
}

bool arg_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    Ref original = fetch_exception();
    Ref text(original ? PyObject_Str(original.get()) : PyUnicode_FromString(""));
    if (!text) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    chain_cause(std::move(original));
    return false;
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref(value);
#endif
}

void restore_exception(Ref exc) {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

Ref take_replaceable_error() {
    if (!PyErr_Occurred()) return Ref::borrow(Py_None);
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return Ref();
    Ref exc = fetch_exception();
    if (!exc) return Ref::borrow(Py_None);
    return exc;
}

void chain_cause(Ref cause) {
    if (!cause || cause.get() == Py_None || !PyErr_Occurred()) return;
    Ref exc = fetch_exception();
    if (!exc) return;
    PyException_SetContext(exc.get(), Ref(cause).release());
    PyException_SetCause(exc.get(), cause.release());
    restore_exception(std::move(exc));
}

void set_error(PyObject* type, std::string_view message) {
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
    if (text) PyErr_SetObject(type, text.get());
}

std::string type_name(PyObject* obj) {
    Ref name(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    const char* s = PyUnicode_AsUTF8(name.get());
    if (!s) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return s;
}

Ref to_str(std::string_view utf8) {
    return Ref(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass"));
}

}  // namespace zetrion::py
