"""Repeated calls leave no objects, references or memory behind."""
import dataclasses
import gc
import logging
import os
import sqlite3
import sys
import time
import xml.etree.ElementTree as et

import pydantic
import pytest
from sqlalchemy import create_engine, text
from sqlalchemy.pool import StaticPool

from verdin.db.querydeck import Page, PageInfo, SqlTemplate, count_query, limit_query
from verdin.db.txnfront import VerdinSqlSession, results_handle
from verdin.mapper.stmtloom import ParseMapper
from verdin.utils import bindnote, cdatakit, clausetrim, kindprobe, snippets

pytestmark = pytest.mark.skipif(bool(os.environ.get("VERDIN_SKIP_LEAK_TESTS")),
                                reason=os.environ.get("VERDIN_SKIP_LEAK_TESTS", ""))

CALLS = 100_000
MAPPER = """<mapper namespace="leak">
  <sql id="cols">id, name</sql>
  <select id="static">select 1</select>
  <select id="if">select <if test="params.get('a')">#{a}</if><if test="0">never</if></select>
  <select id="where">select 1 <where><if test="1">and a = #{a}</if> or b</where></select>
  <select id="choose"><choose><when test="params['a'] == 2">two</when><otherwise>other #{a}</otherwise></choose></select>
  <update id="set">update t <set><if test="1">, a = #{a}</if>, b = 1,</set></update>
  <select id="trim"><trim prefix="WHERE" prefixOverrides="AND |OR " suffixOverrides=",">AND x = #{a},</trim></select>
  <select id="foreach"><foreach item="i" collection="ids" open="(" close=")" separator=",">#{i}</foreach></select>
  <select id="nested"><foreach item="i" collection="ids" open="(" close=")" separator=","><if test="1">#{i}</if></foreach></select>
  <select id="include">select <include refid="cols"/> from t</select>
  <insert id="insert">insert into t values (#{a})</insert>
  <select id="missing_otherwise"><choose><when test="0">x</when></choose></select>
  <select id="bad_collection"><foreach item="i" collection="a" open="(" close=")" separator=",">#{i}</foreach></select>
  <select id="name_error"><if test="nope">x</if></select>
  <select id="cycle"><include refid="cycle_a"/></select>
  <sql id="cycle_a"><include refid="cycle_b"/></sql>
  <sql id="cycle_b"><include refid="cycle_a"/></sql>
  <select id="bad_tag"><If test="1">x</If></select>
  <select id="fields"><bind name="p" value="params['a'] + 1"/><foreach item="r" index="i" collection="rs" separator=",">
    <foreach item="k" collection="r['ks']">(#{i}, #{k}, #{r.n}, #{p}, #{u.v})</foreach></foreach></select>
  <select id="bad_bind"><bind name="p" value="params['nope']"/></select>
</mapper>"""


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def measure(fn, calls):
    for _ in range(2000):
        fn()
    gc.collect()
    blocks, objects, rss = sys.getallocatedblocks(), len(gc.get_objects()), rss_kib()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    for _ in range(calls):
        fn()
    gc.collect()
    return {
        "blocks": sys.getallocatedblocks() - blocks,
        "objects": len(gc.get_objects()) - objects,
        "rss_kib": rss_kib() - rss,
        "refs": sys.gettotalrefcount() - refs if refs is not None else 0,
    }


def assert_flat(label, fn, calls=CALLS):
    growth = measure(fn, calls)
    # A leak of one object per call shows as ~100,000 blocks; caches and free lists stay far below.
    assert growth["blocks"] < 2000 and growth["objects"] < 500 and growth["refs"] < 2000, f"{label} leaks: {growth}"
    assert growth["rss_kib"] < 8192, f"{label} grows the process: {growth}"


def raising(fn, error):
    def call():
        try:
            fn()
        except error:
            pass
        else:  # pragma: no cover - the point is that it raises
            raise AssertionError("expected " + error.__name__)

    return call


@pytest.fixture(scope="module")
def mapper(tmp_path_factory):
    path = tmp_path_factory.mktemp("leak") / "leak.xml"
    path.write_text(MAPPER)
    return ParseMapper(str(path))


STATEMENTS = [
    ("static", {}, None), ("if", {"a": 1}, None), ("where", {"a": 1}, None), ("choose", {"a": 1}, None),
    ("set", {"a": 1}, None), ("trim", {"a": 1}, None), ("foreach", {"ids": [1, 2, 3]}, None),
    ("nested", {"ids": [1, 2]}, None), ("include", {}, None), ("insert", {"a": 1}, None),
    ("missing_otherwise", {}, Exception), ("bad_collection", {"a": (1,)}, Exception),
    ("name_error", {}, NameError), ("cycle", {}, RecursionError), ("bad_tag", {}, TypeError),
    ("no_such_id", {}, Exception), ("fields", {"a": 1, "rs": [{"n": 1, "ks": [1, 2]}], "u": {"v": 1}}, None),
    ("bad_bind", {}, KeyError),
]


@pytest.mark.parametrize("sql_id, params, error", STATEMENTS, ids=[s[0] for s in STATEMENTS])
def test_get_sql_does_not_leak(mapper, sql_id, params, error):
    fn = lambda: mapper.get_sql(sql_id, params)  # noqa: E731
    calls = 2000 if sql_id == "cycle" else CALLS  # each call recurses a thousand levels
    assert_flat(f"get_sql({sql_id!r})", raising(fn, error) if error else fn, calls)


@dataclasses.dataclass
class Row:
    id: int
    name: str


class RowModel(pydantic.BaseModel):
    id: int
    name: str


ROWS = [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}]


@pytest.mark.parametrize("label, fn", [
    ("rows", lambda: results_handle(ROWS, dict, None)),
    ("dataclass list", lambda: results_handle(ROWS, Row, None)),
    ("pydantic one", lambda: results_handle(ROWS, RowModel, RowModel)),
    ("values", lambda: results_handle(ROWS, int, None)),
    ("first row", lambda: results_handle(ROWS, dict, dict)),
    ("refused", raising(lambda: results_handle(ROWS, dict, list[int]), TypeError)),
])
def test_results_handle_does_not_leak(label, fn):
    assert_flat(f"results_handle {label}", fn)


ELEMENT = et.fromstring("<x>#{a} ${b}<y/></x>")
ELEMENT[0].tail = " #{c, sql_type=INT}"
STRUCT = time.localtime(0)


@pytest.mark.parametrize("label, fn", [
    ("get_type_from_string", lambda: kindprobe.get_type_from_string("datetime.date")),
    ("get_type_from_string error", raising(lambda: kindprobe.get_type_from_string("nosuch_mod_x.Y"), ValueError)),
    ("is_container_type_by_str", lambda: kindprobe.is_container_type_by_str("list")),
    ("is_container_type", lambda: kindprobe.is_container_type(list[int])),
    ("get_base_type", lambda: kindprobe.get_base_type(dict)),
    ("is_result_class", lambda: kindprobe.is_result_class(Row)),
    ("get_sql_param", lambda: bindnote.get_sql_param("#{a, sql_type=INT} ${b} $f{f(x)} #{a}")),
    ("get_sql_param error", raising(lambda: bindnote.get_sql_param("#{a, sql_type=}"), AttributeError)),
    ("get_params", lambda: bindnote.get_params(ELEMENT)),
    ("str(MapperParam)", lambda: str(bindnote.MapperParam(bindnote.SqlParam("id"), "#{id}"))),
    ("replace_cdata", lambda: cdatakit.replace_cdata("a <![CDATA[ < ]]> b")),
    ("convert_cdata", lambda: cdatakit.convert_cdata("a &lt; &amp; b")),
    ("sql_string_format", lambda: cdatakit.sql_string_format("it's")),
    ("sql_string_format error", raising(lambda: cdatakit.sql_string_format(None), TypeError)),
    ("param_str", lambda: (cdatakit.param_str("x"), cdatakit.param_str(0), cdatakit.param_str(None))),
    ("replace_sql_first", lambda: clausetrim.replace_sql_first(" and a", "AND |OR ", "WHERE ")),
    ("replace_sql_last", lambda: clausetrim.replace_sql_last("a,", ",", "")),
    ("like", lambda: snippets.like("x")),
    ("time_format", lambda: snippets.time_format(STRUCT)),
    ("Page", lambda: Page(2.5, 10)),
    ("Page error", raising(lambda: Page("1", 1), TypeError)),
    ("PageInfo", lambda: PageInfo(1, 2)),
    ("count_query", lambda: count_query(text("select 1"))),
    ("limit_query", lambda: limit_query(text("select 1"), Page(2, 5))),
    ("_trim_prefix", lambda: ParseMapper._trim_prefix(" AND OR x ", {"AND", "OR"})),
    ("to_replace", lambda: ParseMapper.to_replace("${a} ${b}", {"a": "x"})),
])
def test_utilities_do_not_leak(label, fn):
    assert_flat(label, fn)


def test_execute_sql_does_not_leak(mapper, tmp_path):
    engine = create_engine("sqlite://", poolclass=StaticPool, connect_args={"check_same_thread": False})
    with engine.begin() as conn:
        conn.execute(text("create table t (a integer)"))
        conn.execute(text("create table t2 (id integer, name text)"))
        conn.execute(text("insert into t2 values (1, 'a'), (2, 'b')"))
    path = tmp_path / "exec.xml"
    path.write_text('<mapper namespace="x"><select id="rows" resultType="test_leaks.Row">select id, name from t2 '
                    '<where><if test="params.get(\'id\')">id = #{id}</if></where></select>'
                    '<insert id="add">insert into t (a) values (#{a})</insert>'
                    '<select id="page">select id from t2</select></mapper>')
    db = VerdinSqlSession({"x": ParseMapper(str(path))}, data_source=engine)
    assert_flat("execute_sql select", lambda: db.execute_sql("rows", "x", {"id": 1}))
    assert_flat("execute_sql page", lambda: db.execute_sql("page", "x", {}, page=Page(1, 1)), CALLS // 4)
    assert_flat("execute_sql error", raising(lambda: db.execute_sql("rows", "nope", {}), Exception))

    def in_transaction(fail=False):
        with db.transaction():
            db.execute_sql("rows", "x", {"id": 1})
            if fail:
                raise KeyError("rolled back")

    assert_flat("transaction", in_transaction, CALLS // 10)
    assert_flat("transaction rolled back", raising(lambda: in_transaction(True), KeyError), CALLS // 10)
    t = SqlTemplate(engine)
    assert_flat("select_list", lambda: t.select_list(text("select id, name from t2")), CALLS // 4)

    def refuse():
        raise sqlite3.OperationalError("unable to open database file")

    # Every read tries the replica that cannot be reached, then runs on the one that can.
    replica = create_engine("sqlite://", poolclass=StaticPool, connect_args={"check_same_thread": False})
    with replica.begin() as conn:
        conn.execute(text("create table t2 (id integer, name text)"))
        conn.execute(text("insert into t2 values (1, 'r')"))
    routed = VerdinSqlSession(db.mapper_dict, data_source=engine,
                              replicas=[create_engine("sqlite://", creator=refuse), replica])
    routed.replica_backoff = 0
    assert routed.execute_sql("rows", "x", {"id": 1}) == [Row(id=1, name="r")]
    skips = logging.getLogger("verdin.replicas")
    skips.disabled = True
    try:
        assert_flat("execute_sql on replicas", lambda: routed.execute_sql("rows", "x", {"id": 1}), CALLS // 4)
    finally:
        skips.disabled = False
    engine.dispose()


def test_statement_cache_stays_bounded():
    import itertools

    counter = itertools.count()

    def distinct_statement():
        ret = f"select c{next(counter)} from t where a = #{{a}} and b in (#{{b}}, #{{c}})"
        # the second request of a text is the one that stores a cache key with the clause
        for _ in range(2):
            ParseMapper.to_prepared_statement(ret, {"a": 1})

    for _ in range(5000):
        distinct_statement()
    assert_flat("statement cache over distinct statements", distinct_statement, 20_000)


def test_a_disposed_engine_is_not_kept_by_its_statements(db_url):
    import weakref

    engine = create_engine(db_url)
    assert SqlTemplate(engine).select_list(text("select :x as v"), None, {"x": 1}) == [{"v": 1}]
    engine.dispose()
    dialect = weakref.ref(engine.dialect)
    del engine
    gc.collect()
    assert dialect() is None
