from contextlib import AbstractAsyncContextManager
from contextvars import ContextVar
from typing import Any, ClassVar

from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession

from verdin.db.querydeck import Page, PageInfo
from verdin.mapper.stmtloom import ParseMapper

__all__ = ["AsyncVerdinSqlSession"]

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
