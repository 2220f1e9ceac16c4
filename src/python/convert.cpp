#include "python/convert.hpp"

#include <cstring>
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

// Reserves by the reported length, which is only a hint.
template <class T>
void reserve_hint(PyObject* obj, std::vector<T>& out) {
    const Py_ssize_t n = PyObject_LengthHint(obj, 0);
    if (n < 0) {
        PyErr_Clear();
        return;
    }
    out.reserve(static_cast<std::size_t>(n));
}

bool native_format(const char* fmt, const char* want) {
    if (!fmt) return false;
    if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
    return std::strcmp(fmt, want) == 0;
}

// A one-dimensional buffer of native doubles (or complex doubles) is read
// directly: the same values the float protocol would give, without a Python
// object per item. Anything else returns false with no error set.
template <class T>
bool read_buffer(PyObject* obj, std::vector<T>& out) {
    if (!PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
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
    reserve_hint(obj, out);
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
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
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    for (;;) {
        Ref item(PyIter_Next(it.get()));
        if (!item) break;
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
    PyErr_Clear();
    Py_UCS4* cps = PyUnicode_AsUCS4Copy(obj);
    if (!cps) return false;
    out = u32_to_utf8(std::u32string_view(reinterpret_cast<const char32_t*>(cps),
                                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))));
    PyMem_Free(cps);
    return true;
}

bool arg_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), trace(tb);
    Ref text(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
    if (!text) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    return false;
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
