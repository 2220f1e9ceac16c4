// Conversions between Python objects and plain values.
#pragma once

#include "python/pyref.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "elements/complex.hpp"

namespace zetrion::py {

// A sequence of floats: not a str, passes the sequence check, every item
// converted with the float protocol. Sets the conversion's TypeError (or the
// item's own error) and returns false on failure.
bool extract_f64_seq(PyObject* obj, std::vector<double>& out);

// The same with the complex protocol for each item.
bool extract_complex_seq(PyObject* obj, std::vector<Cx>& out);

// A str as UTF-8 (lone surrogates kept as their three-byte form).
bool extract_str(PyObject* obj, std::string& out);

// Turns a pending TypeError into "argument '<name>': <message>"; other
// exception types pass unchanged. Always returns false.
bool arg_error(const char* name);

// The pending exception, taken from the thread (null when none is set).
Ref fetch_exception();
// Sets `exc` (an exception object) as the pending exception.
void restore_exception(Ref exc);

// For code that replaces a failure with a clearer error of its own: takes the
// pending exception and returns it (None when nothing was pending). Returns
// null and leaves it pending when it must reach the caller unchanged: an
// interrupt, MemoryError, or anything that is not an Exception.
Ref take_replaceable_error();

// Makes `cause` the __cause__ of the pending exception (nothing when either
// is missing or `cause` is None).
void chain_cause(Ref cause);

// Raises `type` with a UTF-8 message (surrogates allowed).
void set_error(PyObject* type, std::string_view message);

// Qualified name of an object's type ("int", "Circuit").
std::string type_name(PyObject* obj);

Ref to_str(std::string_view utf8);

}  // namespace zetrion::py
