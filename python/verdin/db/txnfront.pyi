from collections.abc import Callable, Iterable, Mapping, Sequence
from contextlib import AbstractContextManager
from contextvars import ContextVar as ContextVar
from typing import Any, ClassVar, Dict as Dict, List as List, TypeVar, get_args as get_args, overload

from sqlalchemy import Engine as Engine, Row, TextClause as TextClause
from sqlalchemy.orm import Session, sessionmaker as sessionmaker
from sqlalchemy.sql import Executable

from verdin.db.querydeck import Page as Page, PageInfo, SqlTemplate as SqlTemplate
from verdin.db.streams import Rows
from verdin.mapper.stmtloom import ParseMapper
from verdin.utils.kindprobe import (
    get_base_type as get_base_type,
    is_container_type as is_container_type,
    is_result_class as is_result_class,
)

_T = TypeVar("_T")
_M = TypeVar("_M")
_Params = Mapping[str, Any] | Sequence[Mapping[str, Any]] | None

def results_handle(results: Sequence[Mapping[str, Any]], result_type: Any, f_return_type: Any) -> Any: ...

class VerdinSqlSession:
    connection_local: ClassVar[ContextVar[Session | None]]
    mapper_dict: dict[str, ParseMapper]
    data_source: Engine | None
    querydeck: SqlTemplate
    replicas: tuple[Engine, ...]
    replica_backoff: float
    def __init__(
        self,
        mapper_dict: dict[str, ParseMapper],
        data_source: Engine | None = None,
        querydeck: SqlTemplate | None = None,
        *,
        replicas: list[Engine] | tuple[Engine, ...] | None = None,
    ) -> None: ...
    def __con(self) -> Session | None: ...
    def get_ori_session(self) -> Session: ...
    def begin_tx(self) -> None: ...
    # What a call by id returns, from what it asks for: by default rows, an insert id or a row count,
    # depending on the statement (Any); list[M] for return_type=list[M]; one M for return_type=M (int
    # for int), or [] when no row matches; the page dict with a page.
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        ori_params: dict[str, Any] | None = None,
        page: None = None,
        return_type: None = None,
        *,
        primary: bool = False,
    ) -> Any: ...
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        ori_params: dict[str, Any] | None = None,
        page: None = None,
        *,
        return_type: type[list[_M]],
        primary: bool = False,
    ) -> list[_M]: ...
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None,
        ori_params: dict[str, Any] | None,
        page: None,
        return_type: type[list[_M]],
        *,
        primary: bool = False,
    ) -> list[_M]: ...
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        ori_params: dict[str, Any] | None = None,
        page: None = None,
        *,
        return_type: type[_M],
        primary: bool = False,
    ) -> _M | list[Any]: ...
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None,
        ori_params: dict[str, Any] | None,
        page: None,
        return_type: type[_M],
        *,
        primary: bool = False,
    ) -> _M | list[Any]: ...
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        ori_params: dict[str, Any] | None = None,
        *,
        page: Page | PageInfo,
        return_type: Any = None,
        primary: bool = False,
    ) -> dict[str, Any]: ...
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None,
        ori_params: dict[str, Any] | None,
        page: Page | PageInfo,
        return_type: Any = None,
        *,
        primary: bool = False,
    ) -> dict[str, Any]: ...
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        ori_params: dict[str, Any] | None = None,
        page: Page | PageInfo | None = None,
        return_type: Any = None,
        *,
        primary: bool = False,
    ) -> Any: ...
    def select_one(
        self, sql: TextClause, sql_param: _Params = None, *, primary: bool = False
    ) -> dict[str, Any] | None: ...
    def select_list(
        self, sql: TextClause, sql_param: _Params = None, *, primary: bool = False
    ) -> list[dict[str, Any]]: ...
    def select_page(
        self, sql: TextClause, page: Page | PageInfo, sql_param: _Params = None, *, primary: bool = False
    ) -> dict[str, Any]: ...
    def insert(self, sql: TextClause, sql_param: _Params) -> int | None: ...
    def insert_list(self, sql: TextClause, sql_param: _Params) -> None: ...
    def delete(self, sql: TextClause, sql_param: _Params) -> int: ...
    def update(self, sql: TextClause, sql_param: _Params) -> int: ...
    def add(self, data: Any) -> None: ...
    def add_all(self, datas: Iterable[Any]) -> None: ...
    def select_all_orm1(self, statement: Executable, *, primary: bool = False) -> list[Row[Any]]: ...
    def select_all_orm2(self, statement: Executable, *, primary: bool = False) -> list[Any]: ...
    def select_one_orm1(self, statement: Executable, *, primary: bool = False) -> dict[str, Any] | None: ...
    def select_one_orm2(self, statement: Executable, *, primary: bool = False) -> Any: ...
    def delete_orm2(self, statement: Executable) -> int: ...
    def update_orm2(self, statement: Executable, sql_param: dict[str, Any] | None = None) -> int: ...
    def bulk_update_mappings(self, table_model: Any, data_list: list[dict[str, Any]] | None = None) -> None: ...
    def insert_orm2(self, statement: Executable, data_list: list[dict[str, Any]] | None = None) -> Any: ...
    def execute_in_connection(self, fun: Callable[[Session], _T]) -> _T: ...
    def commit(self) -> None: ...
    def rollback(self) -> None: ...
    def close(self) -> None: ...
    def transaction(self) -> AbstractContextManager[Session]: ...
    def execute_many(self, sql_id: str, namespace: str, params_list: Iterable[dict[str, Any]]) -> int: ...
    # Rows of dicts (or of the mapper's resultType) by default; M objects for return_type=M or list[M].
    @overload
    def stream_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        params: dict[str, Any] | None = None,
        return_type: None = None,
        batch_size: int = 1000,
    ) -> Rows[Any]: ...
    @overload
    def stream_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        params: dict[str, Any] | None = None,
        *,
        return_type: type[list[_M]],
        batch_size: int = 1000,
    ) -> Rows[_M]: ...
    @overload
    def stream_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        params: dict[str, Any] | None = None,
        *,
        return_type: type[_M],
        batch_size: int = 1000,
    ) -> Rows[_M]: ...
    @overload
    def stream_sql(
        self,
        sql_id: str,
        namespace: str | None,
        params: dict[str, Any] | None,
        return_type: type[_M],
        batch_size: int = 1000,
    ) -> Rows[_M]: ...
