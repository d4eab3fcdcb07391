// Shared declarations of the stmtloom module (mapper loading, elements, binding).
#pragma once

#include <deque>
#include <iterator>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "module.hpp"
#include "oldest_first.hpp"
#include "sequence.hpp"
#include "text.hpp"

namespace verdin::stmtloom {

// The module's interned names: X(field, "text").
#define STMTLOOM_NAMES(X)                                 \
  /* statement tags and attribute keys of mapper files */ \
  X(sql, "sql")                                           \
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
  X(index, "index")                                       \
  X(name, "name")                                         \
  X(value, "value")                                       \
  X(dialect, "dialect")                                   \
  X(strict, "strict")                                     \
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
// SQLAlchemy's own, a clause of its own made from a cached template of the same text.
// `init_clauses` verifies once that such clauses behave as new ones do.
void init_clauses(PyObject* text_fn);
Ref clause_of(PyObject* text_fn, PyObject* sql);

// eval(source, globals) with a bounded cache of compiled code. An expression that reads the name
// `dialect` which `globals` lacks sees the dialect of `mapper` (None without one).
Ref eval_expr(PyObject* source, PyObject* globals, PyObject* mapper = nullptr);
// The code of an expression, from the same cache; empty when it holds NUL bytes.
Ref expression_code(PyObject* source);
// Whether the code (or code nested in it) reads a global name for which `wanted(name)` holds.
bool reads_name(PyObject* code, bool (*wanted)(PyObject* name, void* data), void* data);

// Method bodies (Impl signatures), defined across the module's files.
Ref parse_element(Func& f, PyObject* const* a);
Ref trim_prefix(Func& f, PyObject* const* a);
Ref trim_suffix(Func& f, PyObject* const* a);
Ref format_sql(Func& f, PyObject* const* a);
Ref to_prepared_statement(Func& f, PyObject* const* a);
// What to_prepared_statement does before it makes the clause: the finished SQL text (what the
// clause would be made of) and the bind values.
struct Prepared {
  Ref sql, binds;
};
Prepared prepare_statement(Func& f, PyObject* ret, PyObject* param);
Ref to_replace(Func& f, PyObject* const* a);
Ref load_mappers(Func& f, PyObject* const* a);

// Native bodies shared by the fast paths.
Ref trim_text(PyObject* s, PyObject* terms, bool prefix);
// trim_text for a body that holds line comments: terms are matched past the comments at the
// trimmed end, and line breaks after comments stay.
Ref trim_marked(PyObject* s, PyObject* terms, bool prefix, bool first_break);

// The body text of `element`: its text, then each child's output and tail.
// `open`: whether a comment may be open where the body starts.
Ref body_text(PyObject* self, PyObject* element, PyObject* param, bool open = false);
void fill_body(PyObject* self, PyObject* element, PyObject* param, TextBuilder& out,
               bool open = false);

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
// "--" or "#" stays: whatever comment a database reads there still ends at its line. With
// `first_break`, the first line break of `s` stays as well (a comment may be open before `s`).
Ref collapse_statement(PyObject* s, bool first_break = false);

// Whether a comment may be open on the line where the next element starts: set by the body that
// calls it, taken (and cleared) by parse_element as it starts. A body that starts on such a line
// keeps its first line break, which ends that comment in the mapper text. A flag rather than a
// chain of frames: nothing points into a C stack across the Python calls in between.
void set_open_before(bool open);
bool take_open_before();
// Whether a comment may be open after `piece`, given whether one was open before it.
bool open_after(PyObject* piece, bool open);

// `out`, the collapsed form of `raw`, with a line break after it when its last line holds a
// comment mark and `raw` ended that line: text after it must not join the comment.
Ref end_comment_line(PyObject* raw, Ref out);

// The position of the first character at or after i of `s` that is neither whitespace nor part
// of a line comment ("--" or "#" to the line end).
Py_ssize_t skip_line_comments(PyObject* s, Py_ssize_t i);
// The line comments of `s` ("--" and "#" to the line end), when every line of it reads alike on
// every database; false (and comments not to be looked past) otherwise.
bool trim_comments(PyObject* s, Spans& out);
// The end of s[0:hi] without the line comments and whitespace that end it; only whitespace
// when `s` is not `readable`.
Py_ssize_t content_end(PyObject* s, Py_ssize_t hi, const Spans& comments, bool readable);

// --- one statement being assembled (assembly.cpp) ----------------------------------------

// What a statement method gathers while its elements are assembled: the values of the binds that
// loops, <bind> elements and field paths generate, and the options of its mapper.
struct Assembly {
  Assembly(PyObject* mapper, PyObject* params, PyObject* root)
      : mapper(mapper), params(params), root(root) {}
  PyObject* mapper;  // borrowed: the mapper whose method runs
  PyObject* params;  // the caller's parameters, borrowed
  PyObject* root;    // the statement's evaluation context, borrowed
  Ref extras;        // generated bind name -> value; empty until the first one
  Py_ssize_t counter = 0;
  bool strict = false;  // a reference without a value raises KeyError
  bool paths = false;   // the text may hold #{name.field} references outside loops
  Ref reserved;         // set of names the mapper text references that no generated bind takes
};

// Contexts of the statements being assembled, each with its assembly. A context is a dict that
// lives for its statement (or loop entry) and leaves the list before it dies; several threads
// (and re-entrant statements run from an expression) interleave, so entries leave by identity.
extern std::vector<std::pair<PyObject*, Assembly*>>& active_contexts;

// While alive, `context` (an evaluation context) belongs to `as`.
class Registered {
 public:
  Registered(PyObject* context, Assembly* as) : context_(context) {
    active_contexts.emplace_back(context, as);
  }
  ~Registered() {
    auto& active = active_contexts;
    if (!active.empty() && active.back().first == context_) {
      active.pop_back();
      return;
    }
    for (auto it = active.rbegin(); it != active.rend(); ++it) {
      if (it->first == context_) {
        active.erase(std::next(it).base());
        return;
      }
    }
  }
  Registered(const Registered&) = delete;
  Registered& operator=(const Registered&) = delete;

 private:
  PyObject* context_;
};

// The assembly an evaluation context belongs to; null for a context of the caller's own
// (parse_element called directly).
Assembly* assembly_of(PyObject* context);

// A new bind name for the reference text `path` ("r.title"), holding `value` in `as`.
Ref generate_bind(Assembly* as, PyObject* path, PyObject* value);

// Which references rewrite_refs replaces: in a loop entry, every "#{name}" and
// "#{name.field...}" whose name is a key of the targets; for a statement, those with fields,
// their names looked up in the targets (a missing one has no value).
enum class Refs { entry, statement };
Ref rewrite_refs(PyObject* text, PyObject* targets, Assembly* as, Refs which);

// Whether `text` holds a reference with fields, "#{name.field}".
bool has_field_refs(PyObject* text);

// KeyError for the first "#{name}" of `sql` (as param_pattern finds them) that is not a key
// of `values`; indexed names are left to the binder, which reads them from their list.
void require_values(PyObject* sql, PyObject* values);
// The spans of the names of the "#{name}" references of the str `s`, as param_pattern
// finds them.
void reference_names(PyObject* s, Spans& out);

// --- what each mapper was loaded with (stmtloom.cpp) -------------------------------------

struct MapperInfo {
  Ref file;             // the path it was read from
  Ref dialect;          // str or None
  Ref group;            // namespace -> weak reference of the mappers loaded with it, or empty
  bool strict = false;  // missing values raise KeyError
  bool paths = false;   // some text holds #{name.field}
  // The names of "#{name}" references in its text (and, loaded together, its group's) that have
  // the shape of a generated bind name ("t_x__0"), so that none is generated; empty when none.
  Ref reserved;
};
// The info of a mapper this module loaded; null for another object.
const MapperInfo* mapper_info(PyObject* mapper);
// Makes `group` (namespace -> weak reference) the mappers `mapper` was loaded with, and
// `reserved` (a set, or null for none) the reserved names of them all.
void set_group(PyObject* mapper, PyObject* group, PyObject* reserved);
// How many live mappers need their info on every statement (strict, with field paths, or with
// reserved names).
extern Py_ssize_t featured_mappers;
// The dialect expressions see for `mapper`: None unless it was loaded for one.
Ref dialect_of(PyObject* mapper);

}  // namespace verdin::stmtloom
