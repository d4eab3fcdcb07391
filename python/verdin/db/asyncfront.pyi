from collections.abc import AsyncIterator, Iterable
from contextlib import AbstractAsyncContextManager
from contextvars import ContextVar
from typing import Any, ClassVar, TypeVar, overload

from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession

from verdin.db.querydeck import Page, PageInfo
from verdin.mapper.stmtloom import ParseMapper

__all__ = ["AsyncVerdinSqlSession"]

_M = TypeVar("_M")

class AsyncVerdinSqlSession:
    connection_local: ClassVar[ContextVar[AsyncSession | None]]
    mapper_dict: dict[str, ParseMapper]
    data_source: AsyncEngine
    replicas: tuple[AsyncEngine, ...]
    replica_backoff: float
    def __init__(
        self,
        mapper_dict: dict[str, ParseMapper],
        data_source: AsyncEngine,
        *,
        replicas: list[AsyncEngine] | tuple[AsyncEngine, ...] | None = None,
    ) -> None: ...
    # As the sync facade's execute_sql: by default rows, an insert id or a row count (Any);
    # list[M] for return_type=list[M]; one M for return_type=M, or [] when no row matches; the page
    # dict with a page.
    @overload
    async def execute_sql(
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
    async def execute_sql(
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
    async def execute_sql(
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
    async def execute_sql(
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
    async def execute_sql(
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
    async def execute_sql(
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
    async def execute_sql(
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
    async def execute_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        ori_params: dict[str, Any] | None = None,
        page: Page | PageInfo | None = None,
        return_type: Any = None,
        *,
        primary: bool = False,
    ) -> Any: ...
    async def begin_tx(self) -> None: ...
    async def commit(self) -> None: ...
    async def rollback(self) -> None: ...
    async def close(self) -> None: ...
    def transaction(self) -> AbstractAsyncContextManager[AsyncSession]: ...
    async def execute_many(self, sql_id: str, namespace: str, params_list: Iterable[dict[str, Any]]) -> int: ...
    @overload
    def stream_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        params: dict[str, Any] | None = None,
        return_type: None = None,
        batch_size: int = 1000,
    ) -> AsyncIterator[Any]: ...
    @overload
    def stream_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        params: dict[str, Any] | None = None,
        *,
        return_type: type[list[_M]],
        batch_size: int = 1000,
    ) -> AsyncIterator[_M]: ...
    @overload
    def stream_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        params: dict[str, Any] | None = None,
        *,
        return_type: type[_M],
        batch_size: int = 1000,
    ) -> AsyncIterator[_M]: ...
    @overload
    def stream_sql(
        self,
        sql_id: str,
        namespace: str | None,
        params: dict[str, Any] | None,
        return_type: type[_M],
        batch_size: int = 1000,
    ) -> AsyncIterator[_M]: ...
