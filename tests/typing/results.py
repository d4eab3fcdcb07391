"""What mypy infers for execute_sql from return_type and page (checked, never run)."""
from dataclasses import dataclass
from typing import Any, assert_type

from sqlalchemy import create_engine

from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import load_mappers


@dataclass
class Track:
    id: int
    name: str


db = VerdinSqlSession(load_mappers("mappers"), data_source=create_engine("sqlite://"))
assert_type(db.execute_sql("search", "tracks", {}), list[Any])
assert_type(db.execute_sql("search", "tracks"), list[Any])
assert_type(db.execute_sql("search", "tracks", {}, return_type=Track), Track)
assert_type(db.execute_sql("search", "tracks", {}, None, Track), Track)
assert_type(db.execute_sql("search", "tracks", {}, return_type=list[Track]), list[Track])
assert_type(db.execute_sql("count", "tracks", {}, return_type=int), int)
assert_type(db.execute_sql("search", "tracks", {}, return_type=dict), dict[Any, Any])
assert_type(db.execute_sql("search", "tracks", {}, page=Page(1, 20)), dict[str, Any])
assert_type(db.execute_sql("search", "tracks", {}, Page(1, 20), Track), dict[str, Any])
maybe_page: Page | None = None
assert_type(db.execute_sql("search", "tracks", {}, page=maybe_page), dict[str, Any] | list[Any])
