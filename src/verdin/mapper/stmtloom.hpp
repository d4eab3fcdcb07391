// Shared declarations of the stmtloom module (mapper loading, elements, binding).
#pragma once

#include "errors.hpp"
#include "module.hpp"
#include "sequence.hpp"
#include "text.hpp"

namespace verdin::stmtloom {

// The module's interned names: X(field, "text").
#define STMTLOOM_NAMES(X)                                 \
  /* tags and attribute keys of mapper files */           \
  X(include, "include")                                   \
  X(sql, "sql")                                           \
  X(if_, "if")                                            \
  X(where, "where")                                       \
  X(trim, "trim")                                         \
  X(set, "set")                                           \
  X(choose, "choose")                                     \
  X(when, "when")                                         \
  X(otherwise, "otherwise")                               \
  X(foreach, "foreach")                                   \
  X(select, "select")                                     \
  X(insert, "insert")                                     \
  X(update, "update")                                     \
  X(delete_, "delete")                                    \
  X(mapper, "mapper")                                     \
  X(namespace_, "namespace")                              \
  X(id, "id")                                             \
  X(resultType, "resultType")                             \
  X(refid, "refid")                                       \
  X(test, "test")                                         \
  X(prefix, "prefix")                                     \
  X(suffix, "suffix")                                     \
  X(prefixOverrides, "prefixOverrides")                   \
  X(suffixOverrides, "suffixOverrides")                   \
  X(item, "item")                                         \
  X(collection, "collection")                             \
  X(open, "open")                                         \
  X(close, "close")                                       \
  X(separator, "separator")                               \
  /* attributes and methods */                            \
  X(tag, "tag")                                           \
  X(text, "text")                                         \
  X(attrib, "attrib")                                     \
  X(get, "get")                                           \
  X(parse, "parse")                                       \
  X(getroot, "getroot")                                   \
  X(iter, "iter")                                         \
  X(findall, "findall")                                   \
  X(sub, "sub")                                           \
  X(id_2_element_map, "id_2_element_map")                 \
  X(result_type_map, "result_type_map")                   \
  X(sql_type_map, "sql_type_map")                         \
  X(parse_element, "parse_element")                       \
  X(to_prepared_statement, "to_prepared_statement")       \
  X(trim_prefix, "_trim_prefix")                          \
  X(trim_suffix, "_trim_suffix")                          \
  X(format_sql, "_format_sql")                            \
  X(strip, "strip")                                       \
  X(split, "split")                                       \
  X(join, "join")                                         \
  X(replace, "replace")                                   \
  X(upper, "upper")                                       \
  X(startswith, "startswith")                             \
  X(endswith, "endswith")                                 \
  X(path, "path")                                         \
  X(PathLike, "PathLike")                                 \
  X(fspath, "fspath")                                     \
  X(isdir, "isdir")                                       \
  X(Path, "Path")                                         \
  X(rglob, "rglob")                                       \
  X(is_file, "is_file")                                   \
  X(iskeyword, "iskeyword")                               \
  /* module globals */                                    \
  X(re, "re")                                             \
  X(et, "et")                                             \
  X(ParseMapper, "ParseMapper")                           \
  X(param_pattern, "param_pattern")                       \
  X(replace_pattern, "replace_pattern")                   \
  X(sql_id_type_list, "sql_id_type_list")                 \
  X(get_type_from_string, "get_type_from_string")         \
  X(is_container_type_by_str, "is_container_type_by_str") \
  X(text_fn, "text")                                      \
  /* literals */                                          \
  X(empty, "")                                            \
  X(space, " ")                                           \
  X(comma, ",")                                           \
  X(bar, "|")                                             \
  X(params, "params")                                     \
  X(and_, "AND")                                          \
  X(or_, "OR")                                            \
  X(where_prefix, "WHERE ")                               \
  X(set_prefix, "SET ")                                   \
  X(returning, " RETURNING ")                             \
  X(for_index, "_for_index_")                             \
  X(hash_open, "#{")                                      \
  X(dollar_open, "${")                                    \
  X(close_brace, "}")                                     \
  X(rewrite_pattern, "#\\{([^}]+)\\}")                    \
  X(rewrite_template, ":\\1")                             \
  X(builtins_key, "__builtins__")                         \
  X(keys, "keys")                                         \
  X(isinstance, "isinstance")                             \
  X(list, "list")                                         \
  X(isinstance_open, "isinstance(")                       \
  X(isinstance_close, ",list)")                           \
  X(copy_open, "[item for item in ")                      \
  X(copy_close, "]")                                      \
  X(xml_glob, "*.xml")
VERDIN_NAMES(STMTLOOM_NAMES);
extern Names n;

// What the module installed, for identity-guarded fast paths.
struct Originals {
  PyObject *re, *re_sub, *param_pattern, *format_sql, *trim_prefix, *trim_suffix, *eval;
  PyObject* text_fn;  // sqlalchemy.text
};
extern Originals orig;

// xml.etree.ElementTree.Element, whose children are read by index.
extern PyTypeObject* element_type;

// The getters of Element's data descriptors, called directly on exact Elements.
enum class ElementField { tag, text, tail, attrib, count };
void init_element_fields();
Ref element_field(PyObject* element, ElementField field);

// text(sql) through `text_fn` (the module global, read by the caller): while that is
// SQLAlchemy's own, a copy of a cached clause of the same text. `init_clauses` verifies once
// that such copies behave as new clauses do.
void init_clauses(PyObject* text_fn);
Ref clause_of(PyObject* text_fn, PyObject* sql);

// eval(source, globals) with a bounded cache of compiled code.
Ref eval_expr(PyObject* source, PyObject* globals);

// Method bodies (Impl signatures), defined across the module's files.
Ref parse_element(Func& f, PyObject* const* a);
Ref trim_prefix(Func& f, PyObject* const* a);
Ref trim_suffix(Func& f, PyObject* const* a);
Ref format_sql(Func& f, PyObject* const* a);
Ref to_prepared_statement(Func& f, PyObject* const* a);
Ref to_replace(Func& f, PyObject* const* a);
Ref load_mappers(Func& f, PyObject* const* a);

// Native bodies shared by the fast paths.
Ref trim_text(PyObject* s, PyObject* terms, bool prefix);

// The body text of `element`: its text, then each child's output and tail.
Ref body_text(PyObject* self, PyObject* element, PyObject* param);
void fill_body(PyObject* self, PyObject* element, PyObject* param, TextBuilder& out);

// Reads element.attrib[key] (KeyError when missing).
Ref attr_required(PyObject* element, PyObject* key);

// A text piece of a statement without its "--" comments (each up to, not including, the next
// line break); `s` itself when it has none or is not an exact str.
Ref strip_line_comments(PyObject* s);

// Whether the statement text `s` still holds "--", or a "#" that starts no #{name} bind: text the
// comment rule left (it read it as quoted) but a database may read as a comment.
bool has_comment_marks(PyObject* s);
// normalize_ws for the finished statement `s` (an exact str, binds rewritten), except that a line
// break after a line holding "--" or "#" stays: if a database reads a comment there that the
// comment rule did not (a backslash escape, a dollar quote, a MySQL "#" comment), the comment
// still ends at its line and cannot swallow what follows.
Ref collapse_statement(PyObject* s);

}  // namespace verdin::stmtloom
