"""Errors carry notes that say where (message and type untouched); executed statements are logged."""
import logging
import xml.etree.ElementTree as et

import pytest
from sqlalchemy import create_engine

from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper, load_mappers

MAPPER = """<mapper namespace="shop">
  <sql id="cols">id, name</sql>
  <select id="find">select <include refid="cols"/> from item <where><if test="params.get('name')">name = #{name}</if></where></select>
  <select id="typo">select <include refid="colz"/> from item</select>
  <select id="tag">select 1 <iff test="1">x</iff></select>
  <select id="syntax">select 1 <if test="params[">x</if></select>
  <select id="boom">select 1 <if test="params['boom']()">x</if></select>
  <select id="nowhere">select * from no_such_table</select>
  <insert id="add">insert into item (name) values (#{name})</insert>
</mapper>
"""
STATEMENT_NOTE = "in statement {!r} of namespace 'shop', mapper file {!r}"


@pytest.fixture
def path(tmp_path):
    p = tmp_path / "shop.xml"
    p.write_text(MAPPER)
    return str(p)


@pytest.fixture
def db(path, tmp_path):
    engine = create_engine(f"sqlite:///{tmp_path / 'shop.db'}")
    with engine.begin() as conn:
        conn.exec_driver_sql("create table item (id integer primary key, name text)")
    yield VerdinSqlSession({"shop": ParseMapper(path)}, data_source=engine)
    engine.dispose()


@pytest.mark.parametrize("load", [lambda p: ParseMapper(p), lambda p: load_mappers([p])])
def test_loading_errors_name_the_file(tmp_path, load):
    bad = tmp_path / "bad.xml"
    bad.write_text('<mapper namespace="x">\n  <select id="a">x</selec>\n</mapper>')
    with pytest.raises(et.ParseError) as info:
        load(str(bad))
    assert str(info.value) == "mismatched tag: line 2, column 20"
    assert info.value.__notes__ == [f"while loading mapper file {str(bad)!r}"]


@pytest.mark.parametrize("sql_id, error, message", [
    ("fnd", Exception, "Missing id"),
    ("typo", KeyError, "'colz'"),
    ("tag", TypeError, 'can only concatenate str (not "NoneType") to str'),
    ("syntax", SyntaxError, "'[' was never closed (<string>, line 1)"),
    ("cols", Exception, "Not a delete"),
])
def test_statement_errors_name_statement_namespace_and_file(db, path, sql_id, error, message):
    for run in (lambda: db.mapper_dict["shop"].get_sql(sql_id, {}), lambda: db.execute_sql(sql_id, "shop", {})):
        with pytest.raises(error) as info:
            run()
        assert type(info.value) is error and str(info.value) == message
        assert info.value.__notes__ == [STATEMENT_NOTE.format(sql_id, path)]


def test_running_errors_name_namespace_and_id(db):
    with pytest.raises(Exception) as info:
        db.execute_sql("nowhere", "shop", {})
    assert "no such table: no_such_table" in str(info.value)
    assert info.value.__notes__ == ["while running statement 'nowhere' of namespace 'shop'"]
    with pytest.raises(TypeError) as info:  # mapping the rows is part of running the statement
        db.execute_sql("add", "shop", {"name": "a"}) and db.execute_sql("find", "shop", {}, return_type=list[int])
    assert info.value.__notes__ == ["while running statement 'find' of namespace 'shop'"]


def test_an_exception_is_noted_once(db, path):
    err = LookupError("gone")

    def boom():
        raise err

    for _ in range(2):
        with pytest.raises(LookupError):
            db.execute_sql("boom", "shop", {"boom": boom})
    assert err.__notes__ == [STATEMENT_NOTE.format("boom", path)]


def test_statement_log(db, caplog):
    caplog.set_level(logging.INFO, logger="verdin")
    db.execute_sql("find", "shop", {"name": "secret-value"})
    assert caplog.records == []
    caplog.set_level(logging.DEBUG, logger="verdin")
    db.execute_sql("add", "shop", {"name": "secret-value"})
    db.execute_sql("find", "shop", {"name": "secret-value"})
    with pytest.raises(Exception):
        db.execute_sql("nowhere", "shop", {})
    assert [(r.name, r.levelno, r.getMessage().replace(f"({r.duration_ms:.3f} ms)", "(ms)"), r.namespace, r.sql_id,
             r.filename) for r in caplog.records] == [
        ("verdin.sql", logging.DEBUG, "shop.add (ms): insert into item (name) values (:name)", "shop", "add",
         "test_diagnostics.py"),
        ("verdin.sql", logging.DEBUG, "shop.find (ms): select id, name from item WHERE name = :name", "shop", "find",
         "test_diagnostics.py"),
        ("verdin.sql", logging.DEBUG, "shop.nowhere (ms): select * from no_such_table", "shop", "nowhere",
         "test_diagnostics.py"),
    ]
    assert all(type(r.duration_ms) is float and r.duration_ms > 0 for r in caplog.records)
    assert "secret-value" not in caplog.text


def test_statement_log_shows_the_page_statement_sent(engine, table_mappers, table, caplog):
    db = VerdinSqlSession(table_mappers, data_source=engine)
    db.execute_sql("add", "t", {"name": "a", "n": 7})
    caplog.set_level(logging.DEBUG, logger="verdin.sql")
    page = db.execute_sql("names", "t", {"n": 7}, page=Page(2, 5))
    assert page["total"] == 1 and page["list"] == []
    window = " limit 5 offset 5" if engine.dialect.name == "postgresql" else " limit 5,5"
    sent = f"select name from {table} WHERE n = :n order by id{window}"
    [record] = caplog.records
    assert record.sql == sent and record.getMessage() == f"t.names ({record.duration_ms:.3f} ms): {sent}"
