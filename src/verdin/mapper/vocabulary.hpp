// What a mapper file may say, shared by the mapper and the checker: the elements of statements
// with their required attributes, how expressions compile, how resultType resolves.
#pragma once

#include "ref.hpp"

namespace verdin::vocabulary {

struct ElementRule {
  const char* tag;
  const char* required[5];  // read by key: a missing one is a KeyError when the statement runs
  const char* expression;   // the attribute compiled as Python, if any
};

// The elements parse_element handles; any other tag makes the statement fail.
inline constexpr ElementRule elements[] = {
    {"include", {"refid"}, nullptr},
    {"sql", {}, nullptr},
    {"if", {"test"}, "test"},
    {"where", {}, nullptr},
    {"trim", {}, nullptr},
    {"set", {}, nullptr},
    {"choose", {}, nullptr},
    {"when", {"test"}, "test"},
    {"otherwise", {}, nullptr},
    {"foreach", {"item", "collection", "open", "close", "separator"}, "collection"},
};

// The code of an expression as eval(source, globals) compiles it: leading spaces and tabs
// ignored, compiled as "<string>" in eval mode. A null Ref without an exception set when the
// source holds NUL bytes, whose exact error only eval() itself gives.
Ref compile_expression(PyObject* source);

// The text a foreach collection is evaluated as, to test that it is a list.
Ref collection_test(PyObject* collection);

// The class a select's resultType names: get_type_from_string(text), refused with TypeError when
// is_container_type_by_str(text) holds for anything but dict. The two functions are passed in
// because each caller reads them where it documents them.
Ref resolve_result_type(PyObject* get_type_from_string, PyObject* is_container_type_by_str,
                        PyObject* text);

}  // namespace verdin::vocabulary
