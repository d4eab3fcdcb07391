"""What mypy infers for execute_sql from return_type and page (checked, never run)."""
from dataclasses import dataclass
from typing import Any, assert_type

from sqlalchemy import create_engine

from verdin.db.asyncfront import AsyncVerdinSqlSession
from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import load_mappers


@dataclass
class Track:
    id: int
    name: str


db = VerdinSqlSession(load_mappers("mappers"), data_source=create_engine("sqlite://"))
# by default rows, an id or a count, as the statement says
new_id: int = db.execute_sql("add", "tracks", {"name": "x"})
assert_type(db.execute_sql("search", "tracks", {}), Any)
assert_type(db.execute_sql("search", "tracks"), Any)
# one M, or [] when no row matches
assert_type(db.execute_sql("search", "tracks", {}, return_type=Track), Track | list[Any])
assert_type(db.execute_sql("search", "tracks", {}, None, Track), Track | list[Any])
assert_type(db.execute_sql("search", "tracks", {}, return_type=list[Track]), list[Track])
assert_type(db.execute_sql("search", "tracks", {}, None, list[Track]), list[Track])
assert_type(db.execute_sql("count", "tracks", {}, return_type=int), int | list[Any])
assert_type(db.execute_sql("search", "tracks", {}, return_type=dict), dict[Any, Any] | list[Any])
assert_type(db.execute_sql("search", "tracks", {}, page=Page(1, 20)), dict[str, Any])
assert_type(db.execute_sql("search", "tracks", {}, Page(1, 20), Track), dict[str, Any])
maybe_page: Page | None = None
assert_type(db.execute_sql("search", "tracks", {}, page=maybe_page), dict[str, Any] | Any)
assert_type(db.execute_many("add", "tracks", [{"name": "x"}]), int)
for track in db.stream_sql("search", "tracks", return_type=Track):
    assert_type(track, Track)
with db.stream_sql("search", "tracks", {}, None, 100) as rows:
    assert_type(next(rows), Any)


async def in_a_task(adb: AsyncVerdinSqlSession) -> None:
    # the async facade says the same
    assert_type(await adb.execute_sql("search", "tracks", {}), Any)
    assert_type(await adb.execute_sql("search", "tracks", {}, return_type=Track), Track | list[Any])
    assert_type(await adb.execute_sql("search", "tracks", {}, return_type=list[Track]), list[Track])
    assert_type(await adb.execute_sql("count", "tracks", {}, None, int), int | list[Any])
    assert_type(await adb.execute_sql("search", "tracks", {}, page=Page(1, 20)), dict[str, Any])
    assert_type(await adb.execute_many("add", "tracks", [{"name": "x"}]), int)
    async for track in adb.stream_sql("search", "tracks", return_type=Track):
        assert_type(track, Track)
