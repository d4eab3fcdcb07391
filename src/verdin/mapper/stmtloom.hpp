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
// trim_text for a body that holds line comments: terms are matched past the comments at the
// trimmed end, and line breaks after comments stay.
Ref trim_marked(PyObject* s, PyObject* terms, bool prefix);

// The body text of `element`: its text, then each child's output and tail.
Ref body_text(PyObject* self, PyObject* element, PyObject* param);
void fill_body(PyObject* self, PyObject* element, PyObject* param, TextBuilder& out);

// Reads element.attrib[key] (KeyError when missing).
Ref attr_required(PyObject* element, PyObject* key);

// The statement `s` (an exact str, binds not yet rewritten) without the "--" comments that every
// database reads alike, each up to its line break; `s` itself when there are none.
Ref remove_comments(PyObject* s);

// Whether the text `s` holds "--", or a "#" that starts no #{name} bind: text a database may read
// as a comment that runs to the end of its line.
bool has_comment_marks(PyObject* s);
// Whether the last line of `s` holds such a mark.
bool last_line_marked(PyObject* s);
// normalize_ws for a text `s` (an exact str), except that a line break after a line holding
// "--" or "#" stays: whatever comment a database reads there still ends at its line.
Ref collapse_statement(PyObject* s);

// `out`, the collapsed form of `raw`, with a line break after it when its last line holds a
// comment mark and `raw` ended that line: text after it must not join the comment.
Ref end_comment_line(PyObject* raw, Ref out);

// The position of the first character at or after i of `s` that is neither whitespace nor part
// of a line comment ("--" or "#" to the line end).
Py_ssize_t skip_line_comments(PyObject* s, Py_ssize_t i);
// The length of `s` without the line comments and whitespace that end it.
Py_ssize_t content_end(PyObject* s);

}  // namespace verdin::stmtloom
