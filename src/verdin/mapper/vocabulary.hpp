// What a mapper file may say, shared by the mapper and the checker: the elements of statements
// with their required attributes, how expressions compile, how resultType resolves.
#pragma once

#include "ref.hpp"

namespace verdin::vocabulary {

// The branch an element takes when a statement is assembled.
enum class Kind : unsigned char {
  include,
  sql,
  if_,
  where,
  trim,
  set,
  choose,
  when,
  otherwise,
  foreach,
  bind,
  other
};

struct ElementRule {
  const char* tag;
  Kind kind;
  const char* required[3];  // read by key: a missing one is a KeyError when the statement runs
  const char* optional[5];  // read when present
  const char* expression;   // the attribute compiled as Python, if any
};

// The elements parse_element handles, in the order their tags are compared; any other tag makes
// the statement fail. The mapper's dispatch, the checker and the guide's element table all
// follow this one list.
inline constexpr ElementRule elements[] = {
    {"include", Kind::include, {"refid"}, {}, nullptr},
    {"sql", Kind::sql, {}, {}, nullptr},
    {"if", Kind::if_, {"test"}, {}, "test"},
    {"where", Kind::where, {}, {}, nullptr},
    {"trim", Kind::trim, {}, {"prefix", "suffix", "prefixOverrides", "suffixOverrides"}, nullptr},
    {"set", Kind::set, {}, {}, nullptr},
    {"choose", Kind::choose, {}, {}, nullptr},
    {"when", Kind::when, {"test"}, {}, "test"},
    {"otherwise", Kind::otherwise, {}, {}, nullptr},
    {"foreach",
     Kind::foreach,
     {"item", "collection"},
     {"index", "open", "close", "separator"},
     "collection"},
    {"bind", Kind::bind, {"name", "value"}, {}, "value"},
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
