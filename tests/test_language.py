"""The mapper language beyond plain binds: fields of loop items, loop indexes and nested loops,
<bind>, per-dialect statements, includes across files and strict parameters."""
import dataclasses

import pytest

from verdin.__main__ import main
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper import mapcheck
from verdin.mapper.stmtloom import ParseMapper, load_mappers

TABLE = """<mapper namespace="t">
  <update id="add_rows">insert into {table} (name, n) values
    <foreach item="r" collection="rows" separator=", ">(#{{r.name}}, #{{r.n}})</foreach></update>
  <update id="add_nested">insert into {table} (name, n) values
    <foreach item="r" index="i" collection="rows" separator=", ">
      <foreach item="k" collection="r['ns']" separator=", ">
        <if test="k > i">(#{{r.name}}, #{{k}})</if><if test="k &lt;= i">(#{{r.name}}, #{{i}})</if>
      </foreach>
    </foreach></update>
  <insert id="add">insert into {table} (name, n) values (#{{name}}, 1)</insert>
  <insert id="add" dialect="postgresql, sqlite">insert into {table} (name, n) values (#{{name}}, 2) returning id</insert>
  <select id="like" resultType="str">
    <bind name="pattern" value="'%' + params['q'] + '%'"/>
    <bind name="upper" value="pattern.upper() if dialect else pattern"/>
    select name from {table} where name like #{{pattern}} or name like #{{upper}} order by id</select>
</mapper>"""


@dataclasses.dataclass
class Row:
    name: str
    n: int


@pytest.fixture
def db(table, engine, tmp_path):
    (tmp_path / "t.xml").write_text(TABLE.format(table=table))
    return VerdinSqlSession(load_mappers(tmp_path / "t.xml", dialect=engine.dialect.name), data_source=engine)


def test_multi_row_insert_reads_fields_of_dicts_and_objects(db, table, fresh):
    rows = [{"name": "a", "n": 1}, Row("b", 2), {"name": "c", "n": None}]
    params = {"rows": rows}
    assert db.execute_sql("add_rows", "t", params) == 3
    assert params == {"rows": rows}
    assert fresh(f"select name, n from {table} order by id") == [("a", 1), ("b", 2), ("c", None)]


def test_nested_loops_see_item_and_index(db, table, fresh):
    assert db.execute_sql("add_nested", "t", {"rows": [{"name": "a", "ns": [0, 5]}, {"name": "b", "ns": [0]}]}) == 3
    assert fresh(f"select name, n from {table} order by id") == [("a", 0), ("a", 5), ("b", 1)]


def test_variant_per_dialect_and_bind(db, table, engine, fresh):
    ids = [db.execute_sql("add", "t", {"name": name}) for name in ("xa", "Ya")]
    assert ids == [1, 2]  # RETURNING where the variant has it, the driver's last row id on MariaDB
    expected_n = 1 if engine.dialect.name == "mysql" else 2
    assert fresh(f"select n from {table}") == [(expected_n,), (expected_n,)]
    params = {"q": "a"}
    assert db.execute_sql("like", "t", params) == ["xa", "Ya"]
    assert params == {"q": "a"}


@pytest.fixture
def build(tmp_path):
    def build(body, name="m.xml", namespace="ns", **options):
        path = tmp_path / name
        path.write_text(f'<mapper namespace="{namespace}">{body}</mapper>')
        return ParseMapper(str(path), **options)
    return build


def sql(m, sql_id, params):
    clause, binds, *_ = m.get_sql(sql_id, params)
    return clause.text, binds


def test_generated_binds_never_collide(build):
    m = build('<select id="s"><foreach item="r" collection="rs" separator=",">#{r.a}</foreach>;'
              '<foreach item="r" collection="rs" separator=",">#{r.a}#{r}</foreach>;#{r_a__0}</select>')
    text, binds = sql(m, "s", {"rs": [{"a": 1}, {"a": 2}], "r_a__0": "mine"})
    assert text.count(":") == 7 and binds["r_a__0"] == "mine"
    assert sorted(v for k, v in binds.items() if k != "r_a__0" and "for_index" not in k) == [1, 1, 2, 2]
    assert [binds["rs_for_index_0"], binds["rs_for_index_1"]] == [{"a": 1}, {"a": 2}]


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("where", ["same file", "fragment of another file"])
def test_a_reference_shaped_like_a_generated_name_keeps_its_meaning(tmp_path, where, strict):
    # the text names #{r_a__0} and #{u_n__1} without values: no generated bind may take them
    refs = "#{r_a__0} #{u_n__1}"
    body = ('<select id="s"><foreach item="r" collection="rs" separator=",">#{r.a}</foreach> #{u.n} '
            + (refs if where == "same file" else '<include refid="frag.f"/>') + "</select>")
    (tmp_path / "a.xml").write_text(f'<mapper namespace="a">{body}</mapper>')
    (tmp_path / "b.xml").write_text(f'<mapper namespace="frag"><sql id="f">{refs}</sql></mapper>')
    mappers = load_mappers(str(tmp_path), strict=strict)  # kept: a fragment lives with its mapper
    m = mappers["a"]
    params = {"rs": [{"a": 1}, {"a": 2}], "u": {"n": 3}}
    if strict:
        with pytest.raises(KeyError) as e:
            m.get_sql("s", params)
        assert e.value.args == ("r_a__0",)
        params.update(r_a__0="mine", u_n__1="also")
    text, binds = sql(m, "s", params)
    generated = {k: v for k, v in binds.items() if k not in ("r_a__0", "u_n__1")}
    assert sorted(generated.values()) == [1, 2, 3] and len(generated) == 3
    assert (binds["r_a__0"], binds["u_n__1"]) == (("mine", "also") if strict else (None, None))
    assert text.endswith(" :r_a__0 :u_n__1")


def test_fields_outside_loops_and_missing_values(build):
    m = build('<select id="s">#{u.name} #{u.addr.city} #{u.nope} #{gone.x} #{v}</select>')
    user = {"name": "bob", "addr": Row("x", 1)}
    user["addr"].city = "Graz"
    assert list(sql(m, "s", {"u": user})[1].values()) == ["bob", "Graz", None, None, None]
    strict = build('<select id="s">#{u.name} #{v}</select>', name="strict.xml", strict=True)
    for params, key in [({"v": 1}, "u.name"), ({"u": {"name": None}}, "v"), ({"u": {}, "v": 1}, "u.name")]:
        with pytest.raises(KeyError) as e:
            strict.get_sql("s", params)
        assert e.value.args == (key,) and "strict.xml" in e.value.__notes__[0]
    assert sql(strict, "s", {"u": {"name": None}, "v": None})[1] == {"u_name__0": None, "v": None}


def test_foreach_defaults_index_and_scope(build):
    m = build('<select id="s"><foreach item="r" index="i" collection="rs">'
              '<if test="i and r">,</if>#{i}<foreach item="x" collection="r">#{x}</foreach></foreach></select>')
    text, binds = sql(m, "s", {"rs": [[7], [8, 9]]})
    assert text == ":i__1:x__0,:i__4:x__2:x__3"
    assert binds == {"i__1": 0, "x__0": 7, "i__4": 1, "x__2": 8, "x__3": 9}


def test_bind_is_a_name_for_what_follows_and_per_loop_entry(build):
    m = build('<select id="s"><bind name="b" value="params[\'a\'] * 2"/><if test="b == 4">#{b}</if>'
              '<foreach item="r" collection="rs"><bind name="b" value="r + b"/>#{b}</foreach></select>')
    assert sql(m, "s", {"a": 2, "rs": [1, 2]}) == (":b:b__0:b__1", {"b": 4, "b__0": 5, "b__1": 6})


@pytest.mark.parametrize("body, error, note", [
    ('<select id="s"><bind name="p" value="params[\'q\'] + 1"/></select>', KeyError, "in <bind name='p'"),
    ('<select id="s"><foreach item="r" index="r" collection="rs">x</foreach></select>', ValueError,
     "in statement 's'"),
])
def test_bad_input_is_named(build, body, error, note):
    with pytest.raises(error) as e:
        build(body).get_sql("s", {"rs": [1]})
    assert any(n.startswith(note) for n in e.value.__notes__) and "m.xml" in e.value.__notes__[-1]


def test_dialect_variants(build):
    body = '<select id="s">any</select><select id="s" dialect="postgresql,mysql">pg {dialect}</select>'
    assert sql(build(body), "s", {})[0] == "any"
    assert sql(build(body, dialect="mysql"), "s", {})[0] == "pg {dialect}"
    only = build('<select id="s" dialect="sqlite">x</select><select id="d"><if test="dialect is None">none</if></select>')
    assert list(only.list_statement()) == ["d"] and sql(only, "d", {})[0] == "none"
    with pytest.raises(ValueError, match="'s' has two variants for dialect 'b'") as e:
        build('<select id="s" dialect="a, b">x</select><select id="s" dialect="b">y</select>', dialect="a")
    assert e.value.__notes__[0].startswith("while loading mapper file")


def test_includes_across_files(tmp_path):
    (tmp_path / "a.xml").write_text('<mapper namespace="a"><sql id="cols">x, y</sql><sql id="b.c">1</sql></mapper>')
    (tmp_path / "b.xml").write_text('<mapper namespace="a.b"><sql id="c">2</sql><sql id="cols">z</sql>'
                                    '<select id="s">select <include refid="a.cols"/>, <include refid="cols"/></select>'
                                    '<select id="amb"><include refid="a.b.c"/></select>'
                                    '<select id="gone"><include refid="a.nope"/></select></mapper>')
    mappers = load_mappers(tmp_path)
    assert sql(mappers["a.b"], "s", {})[0] == "select x, y, z"
    for sql_id, words in [("amb", ["ambiguous", "a.xml", "b.xml"]), ("gone", ["a.xml", "b.xml", "'nope'"])]:
        with pytest.raises(KeyError) as e:
            mappers["a.b"].get_sql(sql_id, {})
        assert all(w in str(e.value) for w in words)
    with pytest.raises(KeyError, match="a.cols"):  # loaded alone, another file's namespace is unknown
        ParseMapper(str(tmp_path / "b.xml")).get_sql("s", {})


def test_checker_knows_the_language(tmp_path, capsys):
    (tmp_path / "a.xml").write_text('<mapper namespace="a"><sql id="cols">x</sql></mapper>')
    (tmp_path / "b.xml").write_text(
        '<mapper namespace="b"><select id="ok"><bind name="p" value="1"/><include refid="a.cols"/>'
        '<foreach item="r" index="i" collection="rs">#{r.x.y}</foreach></select>'
        '<select id="v" dialect="sqlite">1</select><select id="v" dialect="mysql">2</select>'
        '<select id="bad"><bind name="p"/><foreach item="r" index="r" collection="rs"/>'
        '<include refid="a.colz"/></select><select id="v" dialect="mysql, postgresql">3</select></mapper>')
    assert main(["check", str(tmp_path)]) == 1
    out = capsys.readouterr().out.splitlines()
    b = tmp_path / "b.xml"
    assert out == [f"{b}: bad: <bind> without the attribute 'value'",
                   f"{b}: bad: <foreach> names both its item and its index 'r'",
                   f"{b}: bad: <include> refid 'a.colz': namespace 'a' has no statement 'colz'",
                   f"{b}: v: two variants for dialect 'mysql': statement 5 (<select>) and statement 3",
                   "4 problems in 1 of 2 files, 6 statements"]


def test_guide_lists_every_element():
    import os
    import re

    guide = open(os.path.join(os.path.dirname(__file__), "..", "docs", "guide.md"), encoding="utf-8").read()
    table = guide[guide.index("### Elements"):guide.index("`mappers/user.xml`")]
    rows = re.findall(r"^\| `<(\w+)[^|]*\| ([^|]*)\|", table, re.M)
    assert {tag: tuple(re.findall(r"`(\w+)`", attrs)) for tag, attrs in rows} == mapcheck.element_attributes
