from collections.abc import Callable, Iterator
from types import TracebackType
from typing import Any, Generic, TypeVar

from sqlalchemy import TextClause
from sqlalchemy.orm import Session

from verdin.db.querydeck import SqlTemplate

__all__ = ["Rows", "stream_rows"]

_T = TypeVar("_T")

class Rows(Generic[_T]):
    batches: Iterator[list[_T]]
    def __init__(self, batches: Iterator[list[_T]]) -> None: ...
    def __iter__(self) -> Iterator[_T]: ...
    def __next__(self) -> _T: ...
    def close(self) -> None: ...
    def __enter__(self) -> Rows[_T]: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None
    ) -> bool: ...

def stream_rows(
    template: SqlTemplate,
    con: Session | None,
    sql: TextClause,
    binds: dict[str, Any],
    result_type: Any,
    return_type: Any,
    batch_size: int,
    results_handle: Callable[[list[dict[str, Any]], Any, Any], Any],
    *,
    statement: tuple[Callable[..., None], str, str, Any] | None = None,
) -> Rows[Any]: ...
