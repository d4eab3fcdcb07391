"""Typed use of verdin, checked with mypy (never imported by the tests)."""
from typing import Any, assert_type

from sqlalchemy import TextClause, create_engine, text
from sqlalchemy.ext.asyncio import AsyncSession, create_async_engine
from sqlalchemy.orm import Session

from verdin.db.asyncfront import AsyncVerdinSqlSession
from verdin.db.querydeck import Page, PageInfo, SqlTemplate, count_query
from verdin.db.txnfront import VerdinSqlSession, results_handle
from verdin.mapper.stmtloom import ParseMapper, load_mappers
from verdin.utils.bindnote import MapperParam, get_sql_param
from verdin.utils.cdatakit import convert_cdata, sql_string_format
from verdin.utils.kindprobe import get_type_from_string, is_result_class
from verdin.utils.snippets import like

engine = create_engine("sqlite://")
mappers = load_mappers(["mappers/a.xml", "mappers"])
assert_type(mappers, dict[str, ParseMapper])
db = VerdinSqlSession(mappers, data_source=engine)

sql, binds, kind, result_type = mappers["a"].get_sql("find", {"name": "x"})
assert_type(sql, TextClause)
assert_type(binds, dict[str, Any])
assert_type(kind, str)
assert_type(result_type, type)

template = SqlTemplate(engine)
assert_type(template.select_list(text("select 1")), list[dict[str, Any]])
assert_type(template.select_one(text("select 1"), args={"a": 1}), dict[str, Any] | None)
assert_type(template.select_page(text("select 1"), Page(1, 10)), dict[str, Any])
assert_type(template.update(text("update t set a = 1")), int)
assert_type(template.execute_in_connection(lambda s: s.is_active), bool)
assert_type(db.execute_in_connection(lambda s: 42), int)
with template.get_session() as session:
    assert_type(session, Session)
assert_type(count_query(text("select 1")), TextClause)

result = db.execute_sql("find", "a", {"name": "x"}, page=PageInfo(pageSize=10, pageNum=1))
db.begin_tx()
db.commit()
db.close()
with db.transaction() as bound:
    assert_type(bound, Session)


async def in_a_task(adb: AsyncVerdinSqlSession) -> None:
    assert_type(await adb.execute_sql("find", "a", {"name": "x"}), Any)
    async with adb.transaction() as async_session:
        assert_type(async_session, AsyncSession)
    await adb.begin_tx()
    await adb.commit()
    await adb.close()


AsyncVerdinSqlSession(mappers, create_async_engine("sqlite+aiosqlite://"))
assert_type(results_handle([{"a": 1}], dict, None), Any)

assert_type(get_sql_param("#{a}"), list[MapperParam])
assert_type(sql_string_format("a"), str)
assert_type(convert_cdata("a &lt; b"), str)
assert_type(like("x"), str)
assert_type(get_type_from_string("int"), type)
assert_type(is_result_class(int), bool)
