import inspect
import random
import re
import threading
import xml.etree.ElementTree as et
from pathlib import Path

import pytest
from sqlalchemy import TextClause

from verdin.mapper import stmtloom
from verdin.mapper.stmtloom import ParseMapper

FIND = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="user">
  <select id="find">
    select * from user
    <where>
      <if test="params.get('name') is not None">
        and name = #{name}
      </if>
      <if test="params.get('ids')">
        <foreach item="i" collection="ids" open="and id in (" close=")" separator=",">#{i}</foreach>
      </if>
    </where>
  </select>
</mapper>
"""


@pytest.fixture
def write(tmp_path):
    counter = iter(range(10**6))

    def write(body, raw=False):
        path = tmp_path / f"m{next(counter)}.xml"
        path.write_text(body if raw else f'<mapper namespace="ns">{body}</mapper>', encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def mapper(write):
    """Builds a mapper from statement bodies."""

    def build(body):
        return ParseMapper(write(body))

    return build


def sql_of(m, sql_id, params=None):
    sql, binds, *_ = m.get_sql(sql_id, {} if params is None else params)
    return sql.text, binds


# --- module frame ---------------------------------------------------------------------------


def test_module_names_in_order():
    import sqlalchemy

    from verdin.utils import kindprobe

    assert [k for k in vars(stmtloom) if not k.startswith("__")] == [
        "re", "et", "text", "TextClause", "get_type_from_string", "is_container_type_by_str",
        "sql_id_type_list", "param_pattern", "replace_pattern", "ParseMapper", "load_mappers"]
    assert stmtloom.re is re and stmtloom.et is et
    assert stmtloom.text is sqlalchemy.text and stmtloom.TextClause is TextClause
    assert stmtloom.get_type_from_string is kindprobe.get_type_from_string
    assert stmtloom.sql_id_type_list == ["sql", "select", "insert", "update", "delete"]
    assert stmtloom.param_pattern.pattern == r"#{([a-zA-Z0-9_\-]+)}"
    assert stmtloom.replace_pattern.pattern == r"\${([a-zA-Z0-9_\-]+)}"


def test_class_shape():
    assert type(ParseMapper) is type and ParseMapper.__bases__ == (object,)
    methods = [k for k in vars(ParseMapper) if not k.startswith("__") or k == "__init__"]
    assert methods == ["__init__", "get_sql", "list_statement", "_trim_prefix", "_trim_suffix", "parse_element",
                       "_format_sql", "to_prepared_statement", "to_replace", "select", "update", "delete", "insert"]
    for name in ["_trim_prefix", "_trim_suffix", "_format_sql", "to_prepared_statement", "to_replace"]:
        assert isinstance(vars(ParseMapper)[name], staticmethod)
    sigs = {name: str(inspect.signature(getattr(ParseMapper, name))) for name in methods}
    assert sigs == {
        "__init__": "(self, xml_path: 'str' = None, *, dialect: 'str' = None, strict: 'bool' = False)",
        "get_sql": "(self, sql_id: 'str', params: 'dict' = None) -> 'tuple'",
        "list_statement": "(self)",
        "_trim_prefix": "(s: 'str', prefixes: 'set[str]')",
        "_trim_suffix": "(s: 'str', suffixes: 'set[str]')",
        "parse_element": "(self, element: 'et.Element', param: 'dict')",
        "_format_sql": "(sql)",
        "to_prepared_statement": "(ret, param) -> 'tuple[TextClause, dict]'",
        "to_replace": "(ret, param) -> 'str'",
        "select": "(self, id: 'str', params: 'dict')",
        "update": "(self, id: 'str', params: 'dict')",
        "delete": "(self, id: 'str', params: 'dict')",
        "insert": "(self, id: 'str', params: 'dict', primary_key: 'str' = None)",
    }
    assert ParseMapper.get_sql.__doc__ == "Get SQL Statement By sql_id\nFormatting of SQL Statements\n:return:"


# --- loading ---------------------------------------------------------------------------------


def test_worked_example(write):
    m = ParseMapper(write(FIND, raw=True))
    sql, binds, kind, result_type = m.get_sql("find", {"name": "bob", "ids": [1, 2]})
    assert isinstance(sql, TextClause)
    assert sql.text == "select * from user WHERE name = :name and id in (:ids_for_index_0,:ids_for_index_1)"
    assert binds == {"name": "bob", "ids_for_index_0": 1, "ids_for_index_1": 2}
    assert list(binds) == ["name", "ids_for_index_0", "ids_for_index_1"]
    assert (kind, result_type) == ("select", dict)
    assert sorted(sql._bindparams) == ["ids_for_index_0", "ids_for_index_1", "name"]
    assert sql_of(m, "find", {"ids": []}) == ("select * from user", {})


def test_instance_attributes(write):
    path = write('<sql id="f">x</sql><select id="s" resultType="int">select 1</select>'
                 '<insert id="i" resultType="int">i</insert><other id="o"/><select id="d">d</select>')
    m = ParseMapper(xml_path=path)
    assert m.namespace == "ns"
    assert list(m.id_2_element_map) == ["f", "s", "i", "d"]
    assert all(isinstance(e, et.Element) for e in m.id_2_element_map.values())
    assert m.result_type_map == {"f": dict, "s": int, "i": dict, "d": dict}
    assert m.sql_type_map == {"f": "sql", "s": "select", "i": "insert", "d": "select"}
    keys = m.list_statement()
    assert list(keys) == ["f", "s", "i", "d"]
    m.id_2_element_map["late"] = None
    assert "late" in keys  # a live view


def test_namespace_walk(write):
    m = ParseMapper(write('<root><mapper namespace="inner"/><mapper namespace="second"/></root>', raw=True))
    assert m.namespace == "inner"
    m = ParseMapper(write('<mapper><select id="a">x</select></mapper>', raw=True))
    with pytest.raises(AttributeError):
        m.namespace
    m = ParseMapper(write('<root><mapper/><mapper namespace="later"/></root>', raw=True))
    assert not hasattr(m, "namespace")


def test_duplicates_and_nesting(write):
    m = ParseMapper(write('<select id="a">one</select><delete id="b">x</delete>'
                          '<update id="a">two #{v}</update><group><select id="deep">d</select></group>'))
    assert list(m.id_2_element_map) == ["a", "b"]
    assert m.sql_type_map["a"] == "update"
    assert sql_of(m, "a", {"v": 1}) == ("two :v", {"v": 1})
    with pytest.raises(Exception, match="(?m)^Missing id$"):
        m.get_sql("deep", {})


@pytest.mark.parametrize("name", ["list", "set", "tuple"])
def test_container_result_type_refused(write, name):
    with pytest.raises(TypeError) as exc:
        ParseMapper(write(f'<select resultType="{name}">x</select>'))
    assert str(exc.value) == "please check result_type: can`t set type: " + name


def test_result_types(write):
    m = ParseMapper(write('<select id="a" resultType="dict">x</select>'
                          '<select id="b" resultType="datetime.date">x</select>'))
    import datetime

    assert m.result_type_map == {"a": dict, "b": datetime.date}
    with pytest.raises(ValueError, match="未知的类型: list\\[dict\\]"):
        ParseMapper(write('<select id="a" resultType="list[dict]">x</select>'))
    with pytest.raises(Exception, match="(?m)^Missing id$"):
        ParseMapper(write('<select resultType="int">x</select>'))


@pytest.mark.parametrize(
    "content, error",
    [("<mapper><select id='a'>", et.ParseError), (None, FileNotFoundError)],
)
def test_unreadable_files(tmp_path, content, error):
    path = tmp_path / "bad.xml"
    if content is not None:
        path.write_text(content)
    with pytest.raises(error):
        ParseMapper(str(path))


def test_path_argument_checks(tmp_path, arg_type_message):
    with pytest.raises(TypeError) as exc:
        ParseMapper(Path(tmp_path / "x.xml"))
    assert str(exc.value) == arg_type_message("xml_path", "str", "PosixPath")
    with pytest.raises(TypeError):
        ParseMapper()
    with pytest.raises(IsADirectoryError):
        ParseMapper(str(tmp_path))


# --- statements ------------------------------------------------------------------------------


def test_get_sql_dispatch(mapper, arg_type_message):
    m = mapper('<sql id="frag">x</sql><select id="s">s</select><insert id="i">i</insert>'
               '<update id="u">u</update><delete id="d">d</delete>')
    assert [m.get_sql(k, {})[0].text for k in "siud"] == ["s", "i", "u", "d"]
    assert m.get_sql("i", {})[2:] == ("insert", dict)
    with pytest.raises(Exception, match="(?m)^Not a delete$"):
        m.get_sql("frag", {})
    with pytest.raises(Exception, match="(?m)^Missing id$"):
        m.get_sql("nope", {})
    with pytest.raises(TypeError) as exc:
        m.get_sql("s")
    assert str(exc.value) == arg_type_message("params", "dict", "NoneType")
    with pytest.raises(TypeError) as exc:
        m.get_sql("s", __import__("collections").OrderedDict())
    assert str(exc.value) == arg_type_message("params", "dict", "collections.OrderedDict")
    with pytest.raises(TypeError):
        m.get_sql(None, {})
    for method, other, message in [("select", "i", "Not a select"), ("insert", "s", "Not an insert"),
                                   ("update", "s", "Not an update"), ("delete", "s", "Not a delete")]:
        with pytest.raises(Exception, match=f"(?m)^{message}$"):
            getattr(m, method)(other, {})
        with pytest.raises(Exception, match="(?m)^Missing id$"):
            getattr(m, method)("nope", {})


def test_insert_primary_key(mapper):
    m = mapper('<insert id="i">insert into t(a) values (#{a})</insert>')
    assert m.insert("i", {"a": 1})[0].text == "insert into t(a) values (:a)"
    assert m.insert("i", {"a": 1}, "")[0].text == "insert into t(a) values (:a)"
    sql, binds = m.insert(id="i", params={"a": 1}, primary_key="id")
    assert sql.text == "insert into t(a) values (:a) RETURNING id"
    assert binds == {"a": 1} and list(sql._bindparams) == ["a"]


def test_subclass_overrides_are_used(write):
    class Loud(ParseMapper):
        def parse_element(self, element, param):
            out = super().parse_element(element, param)
            return out.upper() if element.tag == "if" else out

        def select(self, id, params):
            sql, binds = super().select(id, params)
            binds["extra"] = True
            return sql, binds

    sub = Loud(write('<select id="s">a <if test="True">b</if> c</select>'))
    assert sql_of(sub, "s") == ("a B c", {"extra": True})


# --- dynamic elements ------------------------------------------------------------------------


@pytest.mark.parametrize("test, shown", [
    ("params['v']", True), ("0", False), ("''", False), ("None", False), ("[]", False), ("len(params) > 0", True),
    ("  \tparams.get('v') is not None", True), ("params.get('missing')", False)])
def test_if(mapper, test, shown):
    m = mapper(f'<select id="s">a <if test="{test}">b = #{{v}}</if></select>')
    assert sql_of(m, "s", {"v": 1}) == (("a b = :v", {"v": 1}) if shown else ("a", {}))


@pytest.mark.parametrize("test, error", [
    ("name != None", NameError), ("params['v'] == null", NameError), ("params[", SyntaxError),
    ("params['nope']", KeyError), ("1/0", ZeroDivisionError)])
def test_expression_errors_propagate(mapper, test, error):
    m = mapper(f'<select id="s"><if test="{test}">x</if></select>')
    with pytest.raises(error):
        m.get_sql("s", {"v": 1})


def test_expression_errors_match_builtin_eval(mapper):
    m = mapper('<select id="s"><if test="params[">x</if></select>')
    with pytest.raises(SyntaxError) as ours:
        m.get_sql("s", {})
    with pytest.raises(SyntaxError) as theirs:
        eval("params[", {})
    assert (ours.value.msg, ours.value.filename) == (theirs.value.msg, theirs.value.filename)


@pytest.mark.parametrize("body, expected", [
    ("  and  a = 1  AND b = 2 ", "WHERE a = 1 AND b = 2"),
    ("   \n\t ", ""),
    ("and OR And", ""),
    ("and OR x = 1 AND", "WHERE x = 1 AND"),
    ("AND(a = 1)", "WHERE AND(a = 1)"),
    ("oR\u3000a = 'x  y'", "WHERE a = 'x y'"),
    ("ＡＮＤ a", "WHERE ＡＮＤ a"),
    ("and\xa0a = 'é' \x85 OR", "WHERE a = 'é' OR"),
    ("\x85oR\xa0\xa0x", "WHERE x"),
    ("andé x", "WHERE andé x"),
    ("\xa0", ""),
])
def test_where(mapper, body, expected):
    m = mapper(f'<select id="s">select 1 <where>{body}</where></select>')
    assert sql_of(m, "s")[0] == ("select 1 " + expected).strip()


def test_where_with_dynamic_body(mapper):
    m = mapper('<select id="s">select 1<where><if test="params.get(\'a\')">and a = #{a}</if>'
               '<if test="params.get(\'b\')">or b = #{b}</if></where></select>')
    assert sql_of(m, "s", {"b": 2}) == ("select 1WHERE b = :b", {"b": 2})
    assert sql_of(m, "s", {}) == ("select 1", {})


@pytest.mark.parametrize("attrs, body, expected", [
    ('prefix="WHERE" prefixOverrides="AND |OR "', " AND OR x = 1 ", "[WHERE x = 1 ]"),
    ('prefix="WHERE" prefixOverrides="AND |OR "', "and x = 1", "[WHERE and x = 1 ]"),
    ('prefix="WHERE"', "", "[WHERE  ]"),
    ('prefix="(" suffix=")"', " a,\n b ", "[(  a,\n b  )]"),
    ('suffixOverrides=","', "a = 1,, ", "[ a = 1 ]"),
    ('prefixOverrides="AND"', "ANDROID = 1", "[ ROID = 1 ]"),
    ('prefixOverrides="" suffixOverrides="|,||"', " x , ", "[ x ]"),
    ('prefixOverrides="|AND|"', "AND x", "[ x ]"),
])
def test_trim(mapper, attrs, body, expected):
    m = mapper(f'<select id="s">[<trim {attrs}>{body}</trim>]</select>')
    element = m.id_2_element_map["s"][0]
    assert "[" + m.parse_element(element, {"params": {}}) + "]" == expected


@pytest.mark.parametrize("body, expected", [
    (", a = 1", "SET a = 1"), ("a = 1,", "SET a = 1,"), (" , , a = 1", "SET a = 1"), ("", "SET ")])
def test_set(mapper, body, expected):
    m = mapper(f'<update id="u"><set>{body}</set></update>')
    assert m.parse_element(m.id_2_element_map["u"][0], {"params": {}}) == expected


def test_choose(mapper):
    m = mapper('<select id="s">x <choose>ignored<when test="params[\'a\'] > 1">big</when>'
               '<when test="params[\'a\'] > 0">positive</when><otherwise>other</otherwise>tail</choose></select>'
               '<select id="n"><choose><when test="0">z</when></choose></select>'
               '<select id="e"><choose/></select>')
    assert [sql_of(m, "s", {"a": a})[0] for a in (5, 1, 0)] == ["x big", "x positive", "x other"]
    for sql_id in ("n", "e"):
        with pytest.raises(Exception, match="(?m)^Missing otherwise element$"):
            m.get_sql(sql_id, {})


def test_when_outside_choose_is_unconditional(mapper):
    m = mapper('<select id="s">a <when test="0">b</when> <otherwise>c</otherwise></select>')
    assert sql_of(m, "s")[0] == "a b c"


def test_foreach(mapper):
    m = mapper('<select id="s"><foreach item="id" collection="ids" open="(" close=")" separator=",">'
               '#{id}</foreach></select>')
    element = m.id_2_element_map["s"][0]
    params = {"ids": [4, 5, 6]}
    out = m.parse_element(element, {"params": params})
    assert out == "(#{ids_for_index_0},#{ids_for_index_1},#{ids_for_index_2})"
    assert "__builtins__" not in params
    assert m.parse_element(element, {"params": {"ids": []}}) == "()"
    assert sql_of(m, "s", {"ids": ["a", "b"]}) == ("(:ids_for_index_0,:ids_for_index_1)",
                                                   {"ids_for_index_0": "a", "ids_for_index_1": "b"})
    for bad in [(1, 2), None, {1}, "ab"]:
        with pytest.raises(Exception, match="(?m)^Collection must be a list$"):
            m.get_sql("s", {"ids": bad})
    with pytest.raises(NameError):
        m.get_sql("s", {})


def test_foreach_rewrites_only_exact_item(mapper):
    m = mapper('<select id="s"><foreach item="u" collection="us" open="" close="" separator=";">'
               '#{u} #{ u} ${u}<if test="1">#{u}</if></foreach></select>')
    out = m.parse_element(m.id_2_element_map["s"][0], {"params": {"us": [1]}})
    assert out == "#{us_for_index_0} #{ u} ${u}#{us_for_index_0}"


def test_foreach_missing_attribute(mapper):
    m = mapper('<select id="s"><foreach item="i" open="(" close=")">x</foreach></select>')
    with pytest.raises(KeyError, match="collection"):
        m.get_sql("s", {"c": []})


def test_include(mapper):
    m = mapper('<sql id="cols">id, <if test="params.get(\'n\')">name</if></sql>'
               '<select id="s">select <include refid="cols">ignored</include> from t</select>'
               '<select id="bad">select <include refid="s"/></select>'
               '<select id="missing"><include refid="nope"/></select>'
               '<select id="norefid"><include/></select>')
    assert sql_of(m, "s", {"n": 1})[0] == "select id, name from t"
    with pytest.raises(TypeError):
        m.get_sql("bad", {})
    with pytest.raises(KeyError, match="nope"):
        m.get_sql("missing", {})
    with pytest.raises(KeyError, match="refid"):
        m.get_sql("norefid", {})


def test_include_cycle_is_a_recursion_error(mapper):
    m = mapper('<sql id="a">x <include refid="b"/></sql><sql id="b"><include refid="a"/></sql>'
               '<select id="s"><include refid="a"/></select>')
    with pytest.raises(RecursionError):
        m.get_sql("s", {})


def test_deep_nesting_does_not_crash(write):
    depth = 20000
    body = '<if test="1">' * depth + "x" + "</if>" * depth
    m = ParseMapper(write(f'<select id="s">{body}</select>'))
    with pytest.raises(RecursionError):
        m.get_sql("s", {})
    opening, closing = '<if test="1">' * 50, "</if>" * 50
    shallow = ParseMapper(write(f'<select id="s">{opening}x{closing}</select>'))
    assert sql_of(shallow, "s")[0] == "x"


def test_unknown_tag_fails(mapper):
    m = mapper('<select id="s">a <If test="1">b</If></select>')
    with pytest.raises(TypeError):
        m.get_sql("s", {})
    assert m.parse_element(m.id_2_element_map["s"][0], {}) is None


def test_parse_element_argument_check(mapper, arg_type_message):
    m = mapper('<select id="s">a</select>')
    with pytest.raises(TypeError) as exc:
        m.parse_element(m.id_2_element_map["s"], None)
    assert str(exc.value) == arg_type_message("param", "dict", "NoneType")


def test_evaluation_context(mapper):
    m = mapper('<select id="s"><if test="sorted(globals()) == [\'__builtins__\', \'params\']">ok</if></select>')
    params = {"v": 1}
    assert sql_of(m, "s", params)[0] == "ok"
    assert "__builtins__" not in params


# --- trimming helpers ------------------------------------------------------------------------


@pytest.mark.parametrize("s, terms, prefix, expected", [
    ("AND OR x = 1", {"AND", "OR"}, True, "x = 1"),
    ("ANDROID = 1", {"AND"}, True, "ROID = 1"),
    ("  a \n b ,, ", {","}, False, "a b"),
    ("AND x", {"A", "AND"}, True, "x"),
    ("x AND", {"AND", ""}, False, "x"),
    ("x", {""}, True, "x"),
    ("and x", {"AND"}, True, "and x"),
])
def test_trim_helpers(s, terms, prefix, expected):
    helper = ParseMapper._trim_prefix if prefix else ParseMapper._trim_suffix
    assert helper(s, terms) == expected


def test_trim_helper_checks(arg_type_message):
    with pytest.raises(TypeError) as exc:
        ParseMapper._trim_prefix("x", frozenset({"a"}))
    assert str(exc.value) == arg_type_message("prefixes", "set", "frozenset")
    with pytest.raises(TypeError):
        ParseMapper._trim_suffix(None, {"a"})


# --- binding ---------------------------------------------------------------------------------


@pytest.mark.parametrize("text, params, sql, binds", [
    ("select * from t where id = #{id}", {"id": 5}, "select * from t where id = :id", {"id": 5}),
    ("#{a} and #{a}", {"a": 1}, ":a and :a", {"a": 1}),
    ("#{missing}", {}, ":missing", {"missing": None}),
    ("#{ids_for_index_1}", {"ids": [10, 20]}, ":ids_for_index_1", {"ids_for_index_1": 20}),
    ("#{user.name}", {"user.name": 1}, ":user.name", {}),
    ("#{first-name}", {"first-name": 1}, ":first-name", {"first-name": 1}),
    ("#{}", {}, "#{}", {}),
    ("${table} #{x}", {"x": 1}, "${table} :x", {"x": 1}),
    ("a\u3000 b\n\tc  ", {}, "a b c", {}),
    ("#{a#{b}", {"b": 1}, ":a#{b", {"b": 1}),
    ("#{名} #{x}", {"x": 2}, ":名 :x", {"x": 2}),
])
def test_to_prepared_statement(text, params, sql, binds):
    clause, got = ParseMapper.to_prepared_statement(text, params)
    assert isinstance(clause, TextClause)
    assert clause.text == sql and got == binds


@pytest.mark.parametrize("text, params, error", [
    ("#{ids_for_index_0}", {}, KeyError),
    ("#{ids_for_index_5}", {"ids": [1]}, IndexError),
    ("#{a_for_index_0_for_index_1}", {"a": [[1]]}, ValueError),
])
def test_indexed_name_errors(text, params, error):
    with pytest.raises(error):
        ParseMapper.to_prepared_statement(text, params)


def python_reference(text, params):
    """The documented algorithm, written in Python, for differential checks."""
    binds = {}
    for match in re.findall(r"#{([a-zA-Z0-9_\-]+)}", text):
        if "_for_index_" in match:
            name, index = match.split("_for_index_", 1)
            binds[match] = params[name][int(index)]
        else:
            binds[match] = params.get(match)
    out = re.sub(r"#\{([^}]+)\}", r":\1", text)
    # "--", or a "#" that starts no #{name} reference, is a comment mark. In a text with one, a line that holds a mark keeps its line break, so that a comment a database reads there
    # ends with its line, and from a lone carriage return on (a line end to some databases only)
    # the text stays as written; all other whitespace collapses to single spaces.
    if not re.search(r"--|#(?!\{[a-zA-Z0-9_\-]+\})", text):
        return " ".join(out.split()), binds
    lone = re.search(r"\r(?!\n)", out)
    head = out[:lone.start()] if lone else out
    lines, start = [], 0
    for brk in re.finditer(r"[\n\r]", head):
        if re.search(r"--|#", head[start:brk.start()]):
            lines.append(head[start:brk.start()])
            start = brk.end()
    pieces = [" ".join(piece.split()) for piece in lines]
    last = " ".join(head[start:].split())
    if lone:
        return "\n".join([*(p for p in pieces if p), last]) + out[lone.start():], binds
    return "\n".join(p for p in [*pieces, last] if p), binds


def test_binding_matches_reference_on_random_text():
    rng = random.Random(1234)
    alphabet = ["#", "{", "}", "a", "b", "_", "-", "1", " ", "\n", "\r", "\u3000", "é", "名", ":", "\x1c", "\U0001f600"]
    for _ in range(3000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 30)))
        assert ParseMapper.to_prepared_statement(text, {})[0].text == python_reference(text, {})[0], repr(text)
        assert ParseMapper._format_sql(text) == " ".join(text.split())


def test_to_replace():
    assert ParseMapper.to_replace("select * from ${table}", {"table": "users"}) == "select * from users"
    assert ParseMapper.to_replace("select * from ${table}", {}) == "select * from "
    assert ParseMapper.to_replace("${a}${a} #{b} ${ c}", {"a": "x"}) == "xx #{b} ${ c}"
    with pytest.raises(TypeError):
        ParseMapper.to_replace("${a}", {"a": 1})


def test_get_sql_leaves_dollar_parameters(mapper):
    m = mapper('<select id="s">select * from ${table} where a = #{a}</select>')
    assert sql_of(m, "s", {"a": 1, "table": "t"})[0] == "select * from ${table} where a = :a"


def test_final_text_never_has_extra_whitespace(mapper):
    m = mapper('<select id="s">\n\t select\u2003 1 <if test="1">\n  and   x \u00a0</if>\n </select>')
    assert sql_of(m, "s")[0] == "select 1 and x"


# --- module globals read at call time --------------------------------------------------------


def test_replaced_globals_are_used(mapper, monkeypatch):
    m = mapper('<select id="s">a = #{a} <where>and b</where> <set>, c</set></select>')

    monkeypatch.setattr(ParseMapper, "_format_sql", staticmethod(lambda sql: "formatted:" + sql.strip()))
    assert sql_of(m, "s", {"a": 1})[0] == "formatted:a = :a WHERE b SET c"
    monkeypatch.undo()

    monkeypatch.setattr(stmtloom, "param_pattern", re.compile(r"#{(a)}"))
    assert sql_of(m, "s", {"a": 1}) == ("a = :a WHERE b SET c", {"a": 1})
    monkeypatch.setattr(stmtloom, "param_pattern", re.compile(r"(b)"))
    assert sql_of(m, "s", {"a": 1}) == ("a = :a WHERE b SET c", {"b": None})
    monkeypatch.undo()

    seen = []
    monkeypatch.setattr(stmtloom, "text", lambda s: seen.append(s) or TextClause(s))
    sql_of(m, "s", {"a": 1})
    assert seen == ["a = :a WHERE b SET c"]
    monkeypatch.undo()

    class FakeRe:
        @staticmethod
        def sub(pattern, repl, string):
            return string.replace("#", "@")

    monkeypatch.setattr(stmtloom, "re", FakeRe)
    assert sql_of(m, "s", {"a": 1})[0] == "a = @{a} WHERE b SET c"
    monkeypatch.undo()

    monkeypatch.setattr(ParseMapper, "_trim_prefix", staticmethod(lambda s, terms: f"<{sorted(terms)}>"))
    assert sql_of(m, "s", {"a": 1})[0] == "a = :a WHERE b SET <[',']>"
    monkeypatch.undo()

    class Other(ParseMapper):
        @staticmethod
        def _format_sql(sql):
            return "other"

    monkeypatch.setattr(stmtloom, "ParseMapper", Other)
    assert sql_of(m, "s", {"a": 1})[0] == "other"


@pytest.mark.parametrize("body", [
    "insert into t values (#{a}, #{b_c}, #{a}) -- note #{gone}\n  where x = 1",
    "update t set v = #{v}\n\t where k in <foreach collection=\"ks\" item=\"k\" open=\"(\" separator=\",\" close=\")\">#{k}</foreach>",
    "select '\u00e9t\u00e9  #{x}' ,  #{y-z}, #{}  # {q} #{open",
    "delete from t",
])
def test_remembered_statement_texts_match_the_texts_finished_anew(mapper, monkeypatch, body):
    m = mapper(f'<update id="s">{body}</update>')
    params = {"a": 1, "b_c": 2, "v": 3, "ks": [4, 5], "x": 6, "y-z": 7}
    first, again = sql_of(m, "s", params), sql_of(m, "s", params)
    assert again == first
    monkeypatch.setattr(stmtloom, "param_pattern", re.compile(stmtloom.param_pattern.pattern))
    assert sql_of(m, "s", params) == first
    monkeypatch.setattr(stmtloom, "param_pattern", re.compile(r"#{(a)}"))
    assert sql_of(m, "s", params)[1] == ({"a": 1} if "#{a}" in body else {})


def test_load_time_globals(write, monkeypatch):
    monkeypatch.setattr(stmtloom, "sql_id_type_list", ["select", "query"])
    m = ParseMapper(write('<query id="q">x</query><sql id="f">y</sql>'))
    assert list(m.id_2_element_map) == ["q"]
    monkeypatch.setattr(stmtloom, "get_type_from_string", lambda s: float)
    m = ParseMapper(write('<select id="s" resultType="whatever">x</select>'))
    assert m.result_type_map["s"] is float


# --- concurrency -----------------------------------------------------------------------------


def test_threads_share_one_mapper(write):
    m = ParseMapper(write(FIND, raw=True))
    expected = sql_of(m, "find", {"name": "bob", "ids": list(range(50))})
    results, errors = [], []

    def work():
        try:
            for _ in range(200):
                results.append(sql_of(m, "find", {"name": "bob", "ids": list(range(50))}))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 1600 and all(r == expected for r in results)


def test_non_ascii_statement(mapper):
    m = mapper('<select id="s">select «名前» from 表\u3000where <if test="params[\'名\'] == \'é\'">名 = #{名}</if>'
               '</select>')
    assert sql_of(m, "s", {"名": "é"}) == ("select «名前» from 表 where 名 = :名", {})


# --- fast paths agree with the general rules -------------------------------------------------


@pytest.mark.parametrize("item, body", [
    ("i", "#{i}"), ("i", " #{i}é#{i} "), ("i", "x"), ("i", ""), ("i", "#{ i}#{i}#{i}"), ("i", "«#{i}»\u3000"),
    ("名", "#{名}"), ("é", "a#{é}b"), ("😀", "#{😀}, #{😀}")])
@pytest.mark.parametrize("count", [0, 1, 12])
@pytest.mark.parametrize("separator", [",", "；"])
def test_foreach_text_body(mapper, item, body, count, separator):
    m = mapper(f'<select id="s"><foreach item="{item}" collection="ids" open="[" close="]" '
               f'separator="{separator}">{body}</foreach></select>')
    ids = list(range(count))
    out = m.parse_element(m.id_2_element_map["s"][0], {"params": {"ids": ids}})
    old = "#{" + item + "}"
    expected = "[" + separator.join(body.replace(old, f"#{{ids_for_index_{k}}}") for k in range(count)) + "]"
    assert out == expected
    # a well-formed str: equal text has equal hash and compares equal after a round trip
    assert hash(out) == hash(expected) and out.encode("utf-8").decode("utf-8") == out


def test_foreach_entries_reassembled_for_every_entry(mapper):
    m = mapper('<select id="s"><foreach item="i" collection="ids" open="" close="" separator=",">'
               '<if test="params[\'calls\'].append(1) is None">#{i}</if></foreach></select>')
    params = {"ids": [7, 8, 9], "calls": []}
    assert sql_of(m, "s", params)[0] == ":ids_for_index_0,:ids_for_index_1,:ids_for_index_2"
    assert params["calls"] == [1, 1, 1]


@pytest.mark.parametrize("params, error", [
    ({"ids": [1], "list": tuple}, "Collection must be a list"),
    ({"ids": (1,), "isinstance": lambda v, t: True}, None),
    ({"ids": [1], "__builtins__": {"isinstance": lambda v, t: False, "list": list}}, "Collection must be a list"),
])
def test_foreach_collection_sees_shadowing_names(mapper, params, error):
    m = mapper('<select id="s"><foreach item="i" collection="ids" open="(" close=")" separator=",">#{i}'
               '</foreach></select>')
    if error:
        with pytest.raises(Exception, match=error):
            m.get_sql("s", params)
    else:
        assert sql_of(m, "s", params) == ("(:ids_for_index_0)", {"ids_for_index_0": 1})


def test_foreach_collection_expressions(mapper):
    m = mapper('<select id="s"><foreach item="i" collection="ids[1:]" open="(" close=")" separator=",">#{i}'
               '</foreach></select>'
               '<select id="t"><foreach item="i" collection="ids" open="(" close=")" separator=",">#{i}'
               '</foreach></select>')
    # the indexed names carry the expression text, which the bind pattern does not accept
    assert sql_of(m, "s", {"ids": [1, 2, 3]}) == ("(:ids[1:]_for_index_0,:ids[1:]_for_index_1)", {})

    class Tracking(list):
        def __iter__(self):
            self.iterated = True
            return super().__iter__()

    ids = Tracking([5, 6])
    assert sql_of(m, "t", {"ids": ids})[1] == {"ids_for_index_0": 5, "ids_for_index_1": 6}
    assert ids.iterated


@pytest.mark.parametrize("text, params, binds", [
    ("#{a_for_index_1} #{b_for_index_0} #{a_for_index_0}", {"a": [1, 2], "b": [3]},
     {"a_for_index_1": 2, "b_for_index_0": 3, "a_for_index_0": 1}),
    ("#{a_for_index_01}", {"a": [1, 2]}, {"a_for_index_01": 2}),
    ("#{a_for_index_1_0}", {"a": list(range(11))}, {"a_for_index_1_0": 10}),
    ("#{a_for_index_-1}", {"a": [1, 2]}, {"a_for_index_-1": 2}),
    ("#{a_for_index_0}", {"a": (4,)}, {"a_for_index_0": 4}),
    ("#{a_for_index_0}", {"a": {0: "zero"}}, {"a_for_index_0": "zero"}),
])
def test_indexed_names(text, params, binds):
    assert ParseMapper.to_prepared_statement(text, params)[1] == binds


def test_indexed_names_through_a_mapping_that_is_not_a_dict():
    class Counting(dict):
        lookups = 0

        def __getitem__(self, key):
            Counting.lookups += 1
            return super().__getitem__(key)

    params = Counting(a=[1, 2])
    assert ParseMapper.to_prepared_statement("#{a_for_index_0} #{a_for_index_1}", params)[1] == {
        "a_for_index_0": 1, "a_for_index_1": 2}
    assert Counting.lookups == 2


def test_indexed_names_read_the_collection_the_parameters_hold_at_each_name(mapper):
    class Rebinding(list):
        """Reading an entry hands the parameter a new list, as a lazy loader might."""

        def __getitem__(self, i):
            params["ids"] = ["new0", "new1", "new2"]
            return super().__getitem__(i)

    m = mapper('<select id="s"><foreach item="i" collection="ids" separator=",">#{i}</foreach></select>')
    expected = {"ids_for_index_0": "a", "ids_for_index_1": "new1", "ids_for_index_2": "new2"}
    params = {"ids": Rebinding("abc")}
    assert ParseMapper.to_prepared_statement(" ".join(f"#{{{k}}}" for k in expected), params)[1] == expected
    params = {"ids": Rebinding("abc")}
    assert sql_of(m, "s", params)[1] == expected


@pytest.mark.parametrize("stack_kib", [256, 512])
def test_recursion_on_small_thread_stacks(write, stack_kib):
    cycle = ParseMapper(write('<sql id="a">x <include refid="b"/></sql><sql id="b"><include refid="a"/></sql>'
                              '<select id="s"><include refid="a"/></select>'))
    deep = ParseMapper(write('<select id="s">' + '<if test="1">' * 5000 + "x" + "</if>" * 5000 + "</select>"))
    outcomes = []

    def run():
        for m in (cycle, deep):
            try:
                m.get_sql("s", {})
                outcomes.append("no error")
            except RecursionError:
                outcomes.append("RecursionError")

    previous = threading.stack_size(stack_kib * 1024)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(previous)
    assert outcomes == ["RecursionError", "RecursionError"]
    assert sql_of(ParseMapper(write('<select id="s"><if test="1">ok</if></select>')), "s")[0] == "ok"


# --- statements as written -------------------------------------------------------------------


@pytest.mark.parametrize("body, sql", [
    ("update t set a = #{a} -- one row only\n where id = #{id}", "update t set a = :a where id = :id"),
    ("select 1 -- #{a} unbound\r\nfrom t", "select 1 from t"),
    ("select '--a', 'it''s -- x', \"b--\", `c--` -- gone", "select '--a', 'it''s -- x', \"b--\", `c--`"),
    ("select /* -- kept */ 1", "select /* -- kept */ 1"),
    ("select ${y--z} -- x\n from t", "select ${y--z}\nfrom t"),
    ("select 'a -- b' as c\n from t", "select 'a -- b' as c\nfrom t"),
    ('select 1 <if test="1">-- in a child\n and 2</if> -- in a tail\n from t', "select 1 and 2 from t"),
    ('select <include refid="f"/> from t', "select a from t"),
    ('select <foreach item="i" collection="ids" open="(" close=")" separator=",">#{i} -- x\n</foreach>',
     "select (:ids_for_index_0 ,:ids_for_index_1 )"),
    ('select <foreach item="i" collection="ids" open="" close="" separator=",">#{i}<if test="1">'
     ' x</if> -- y\n</foreach>', "select :ids_for_index_0 x ,:ids_for_index_1 x"),
])
def test_line_comments_end_at_the_line_break(mapper, body, sql):
    m = mapper(f'<sql id="f">a -- comment\n</sql><select id="s">{body}</select>')
    params = {"a": 1, "id": 2, "ids": [3, 4]}
    text, binds = sql_of(m, "s", params)
    assert text == sql
    assert set(binds) == set(re.findall(r":(\w+)", sql))


@pytest.mark.parametrize("collection, params, error", [
    ("ids", {"ids": [1, 2]}, None),
    ("ids", {"ids": (1, 2)}, "Collection must be a list"),
    ("ids[:1]", {"ids": [1, 2]}, None),
    ("ids[:1]", {"ids": None}, "not subscriptable"),
    ("ids", {"ids": [1], "__builtins__": __builtins__}, None),
])
def test_callers_parameters_are_left_as_they_were(mapper, collection, params, error):
    m = mapper(f'<select id="s"><if test="params is not None"><foreach item="i" collection="{collection}" '
               'open="(" close=")" separator=",">#{i}</foreach></if></select>')
    before = list(params.items())
    if error:
        with pytest.raises(Exception, match=error):
            m.get_sql("s", params)
    else:
        m.get_sql("s", params)
    assert list(params.items()) == before


@pytest.mark.parametrize("terms, prefix", [({("",)}, True), ({("", "x")}, False), ({("",), "a"}, True)])
def test_trimming_ends_with_terms_that_remove_nothing(child, terms, prefix):
    out = child(f"""
        from verdin.mapper.stmtloom import ParseMapper
        trim = ParseMapper.{'_trim_prefix' if prefix else '_trim_suffix'}
        print(repr(trim("", {terms!r})), repr(trim("a b", {terms!r})))
    """, timeout=30)
    assert out == ["'' ''"]


def test_trimming_many_terms_ends_promptly(child):
    # Each removal once copied what was left: two million terms took minutes.
    out = child("""
        from verdin.mapper.stmtloom import ParseMapper
        print(ParseMapper._trim_prefix("and " * 2_000_000 + "x", {"and", "and "}),
              ParseMapper._trim_suffix("x" + ", " * 2_000_000, {","}))
    """, timeout=60)
    assert out == ["x x"]


@pytest.mark.parametrize("collection, params, expected", [
    # the compiler reads identifiers NFKC-normalised
    ("ｉｄｓ", {"ids": [1, 2], "ｉｄｓ": [1]}, "(#{ｉｄｓ_for_index_0},#{ｉｄｓ_for_index_1})"),
    # a constant to the compiler, whatever the globals hold
    ("__debug__", {"__debug__": [1]}, Exception("Collection must be a list")),
])
def test_foreach_collection_reads_names_as_eval_does(mapper, collection, params, expected):
    m = mapper(f'<select id="s"><foreach item="i" collection="{collection}" open="(" close=")" '
               'separator=",">#{i}</foreach></select>')
    element = m.id_2_element_map["s"][0]
    if isinstance(expected, Exception):
        with pytest.raises(Exception, match=str(expected)):
            m.parse_element(element, {"params": params})
    else:
        assert m.parse_element(element, {"params": params}) == expected


def test_coding_cookie_in_a_test_is_a_comment(mapper):
    m = mapper('<select id="s">x</select>')
    test = "# -*- coding: latin-1 -*-\nparams['v'] == 'é'"
    assert eval(test, {"params": {"v": "é"}}) is True
    element = et.fromstring('<if test="">yes</if>')
    element.set("test", test)
    assert m.parse_element(element, {"params": {"v": "é"}}) == "yes"


def test_load_mappers_holds_the_paths_it_passes_on(child):
    out = child("""
        import gc, os
        from verdin.mapper import stmtloom

        class Path(os.PathLike):
            def __init__(self, name):
                self.name = name
            def __fspath__(self):
                return "".join(["/nonexistent/", self.name])  # a new string each time

        seen = []

        class Swapping:
            def __init__(self, path):
                for holder in gc.get_referrers(path):
                    if type(holder) is list and holder is not seen:
                        holder[:] = ["".join(["/other/", str(i)]) for i in range(len(holder))]
                seen.append(str(path))
                self.namespace = "ns%d" % len(seen)

        stmtloom.ParseMapper = Swapping
        mappers = stmtloom.load_mappers([Path("a.xml"), Path("b.xml")])
        print(sorted(mappers), seen)
    """)
    assert out == ["['ns1', 'ns2'] ['/nonexistent/a.xml', '/other/1']"]
