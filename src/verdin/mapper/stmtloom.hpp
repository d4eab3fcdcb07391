// Shared declarations of the stmtloom module (mapper loading, elements, binding).
#pragma once

#include "errors.hpp"
#include "module.hpp"
#include "sequence.hpp"
#include "text.hpp"

namespace verdin::stmtloom {

struct Names {
  // tags and attribute keys of mapper files
  PyObject *include, *sql, *if_, *where, *trim, *set, *choose, *when, *otherwise, *foreach;
  PyObject *select, *insert, *update, *delete_, *mapper, *namespace_, *id, *resultType;
  PyObject *refid, *test, *prefix, *suffix, *prefixOverrides, *suffixOverrides;
  PyObject *item, *collection, *open, *close, *separator;
  // attributes and methods
  PyObject *tag, *text, *attrib, *get, *parse, *getroot, *iter, *findall, *sub;
  PyObject *id_2_element_map, *result_type_map, *sql_type_map;
  PyObject *parse_element, *to_prepared_statement, *trim_prefix, *trim_suffix, *format_sql;
  PyObject *strip, *split, *join, *replace, *upper, *startswith, *endswith;
  // module globals
  PyObject *re, *et, *ParseMapper, *param_pattern, *replace_pattern, *sql_id_type_list;
  PyObject *get_type_from_string, *is_container_type_by_str, *text_fn;
  // literals
  PyObject *empty, *space, *comma, *bar, *params, *and_, *or_, *where_prefix, *set_prefix;
  PyObject *returning, *for_index, *hash_open, *dollar_open, *close_brace, *rewrite_pattern;
  PyObject *rewrite_template, *builtins_key;
  PyObject *keys, *isinstance, *list, *isinstance_open, *isinstance_close, *copy_open, *copy_close;
};
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
