"""The session facade for asyncio code, over a SQLAlchemy ``AsyncEngine``.

Statements are assembled, run and mapped by the native sync facade itself: each call runs it in
SQLAlchemy's greenlet bridge (as ``AsyncSession.run_sync`` does), on the sync side of the session
bound to the current task, or on a session of its own when none is bound. Only the coroutine
plumbing lives here.
"""
import asyncio
from contextvars import ContextVar

from sqlalchemy import Engine
from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession
from sqlalchemy.util import await_only, greenlet_spawn

from verdin.db.txnfront import VerdinSqlSession

__all__ = ["AsyncVerdinSqlSession"]

# The sync session the facade below must use, set only for the length of one call inside the
# greenlet, so concurrent tasks never see each other's.
_running_in = ContextVar("asyncfront_running_in", default=None)

# The class of the sync facade's transaction(): it holds the rules of a transaction() block (the
# mark on its session, the refusals and what its end does), which both facades follow.
_Transaction = type(VerdinSqlSession.transaction(None))
_refuse_inside_transaction = _Transaction.refuse_inside
_TX_KEY, _CLOSED = "verdin.transaction", "closed"


class _SyncFacade(VerdinSqlSession):
    def _VerdinSqlSession__con(self):
        return _running_in.get()


def _run(facade, session, method, *args, **kw):
    token = _running_in.set(session)
    try:
        return getattr(facade, method)(*args, **kw)
    finally:
        _running_in.reset(token)


def _sync_engines(replicas):
    if replicas is None:
        return None
    if type(replicas) not in (list, tuple):
        raise TypeError(f"Argument 'replicas' has incorrect type (expected list, got {type(replicas).__name__})")
    for i, replica in enumerate(replicas):
        if not isinstance(replica, AsyncEngine):
            if isinstance(replica, Engine):
                raise TypeError(
                    f"replicas[{i}] is an Engine: AsyncVerdinSqlSession reads through AsyncEngine objects "
                    "(VerdinSqlSession takes Engine replicas)"
                )
            raise TypeError(f"replicas[{i}] has incorrect type (expected AsyncEngine, got {type(replica).__name__})")
    return [replica.sync_engine for replica in replicas]


def _next_batch(rows):
    return next(rows.batches, None)


async def _close(session):
    # Shielded like AsyncSession's own exit: a cancelled request must still give its connection
    # back to the pool.
    await asyncio.shield(asyncio.ensure_future(session.close()))


class AsyncVerdinSqlSession:
    """Runs mapper statements by namespace and id from asyncio code; a session bound with
    ``begin_tx()`` or ``transaction()`` belongs to the current task."""

    connection_local = ContextVar("async_connection_local", default=None)
    replicas = ()

    def __init__(self, mapper_dict, data_source, *, replicas=None):
        if not isinstance(data_source, AsyncEngine):
            raise TypeError(
                f"Argument 'data_source' has incorrect type (expected AsyncEngine, got {type(data_source).__name__})"
            )
        # The sync facade routes the reads; it checks the list itself once it holds sync engines.
        self._facade = _SyncFacade(mapper_dict, data_source=data_source.sync_engine, replicas=_sync_engines(replicas))
        self.mapper_dict = mapper_dict
        self.data_source = data_source
        if replicas is not None:
            self.replicas = tuple(replicas)

    @property
    def replica_backoff(self):
        """Seconds a replica that cannot be reached is left out of the rotation."""
        return self._facade.replica_backoff

    @replica_backoff.setter
    def replica_backoff(self, seconds):
        self._facade.replica_backoff = seconds

    async def execute_sql(self, sql_id, namespace=None, ori_params=None, page=None, return_type=None, *, primary=False):
        bound = self.connection_local.get()
        session = None if bound is None else bound.sync_session
        return await greenlet_spawn(
            _run, self._facade, session, "execute_sql", sql_id, namespace, ori_params, page, return_type,
            primary=bool(primary)
        )

    async def begin_tx(self):
        _refuse_inside_transaction(self.connection_local.get(), "begin_tx()")
        # The session replaced here could never be reached again: close it (rolling its work back).
        await self.close()
        self.connection_local.set(AsyncSession(self.data_source, expire_on_commit=False))

    async def commit(self):
        session = self.connection_local.get()
        if session is not None:
            _refuse_inside_transaction(session, "commit()")
            await session.commit()

    async def rollback(self):
        session = self.connection_local.get()
        if session is not None:
            _refuse_inside_transaction(session, "rollback()")
            await session.rollback()

    async def close(self):
        session = self.connection_local.get()
        if session is not None:
            _refuse_inside_transaction(session, "close()")
            # Marked as the sync facade marks the session it closes: a task or stream that still
            # holds it is refused rather than reopening it in a transaction nobody commits.
            session.info.setdefault(_TX_KEY, _CLOSED)
            try:
                await _close(session)
            except asyncio.CancelledError:
                # The shielded close goes on without us: a statement run next must not join it.
                self.connection_local.set(None)
                raise
            self.connection_local.set(None)

    def transaction(self):
        """An async context manager that binds a new ``AsyncSession`` to the current task and
        returns it; the session is committed when the block ends, rolled back when it raises,
        then closed and unbound. Refused while a session is already bound."""
        return _AsyncTransaction(self)

    async def execute_many(self, sql_id, namespace, params_list):
        """Runs the write statement once per parameter set (as the sync facade's execute_many)
        and returns the total row count; one transaction unless a session is bound."""
        bound = self.connection_local.get()
        session = None if bound is None else bound.sync_session
        return await greenlet_spawn(_run, self._facade, session, "execute_many", sql_id, namespace, params_list)

    async def stream_sql(self, sql_id, namespace=None, params=None, return_type=None, batch_size=1000):
        """An async iterator of the mapped rows of a query, fetched ``batch_size`` at a time;
        its connection goes back to the pool when the rows run out or it is closed."""
        bound = self.connection_local.get()
        session = None if bound is None else bound.sync_session
        rows = await greenlet_spawn(_run, self._facade, session, "stream_sql", sql_id, namespace, params,
                                    return_type, batch_size)
        try:
            while (batch := await greenlet_spawn(_next_batch, rows)) is not None:
                for row in batch:
                    yield row
        finally:
            await asyncio.shield(asyncio.ensure_future(greenlet_spawn(rows.close)))

    def _VerdinSqlSession__con(self):
        # What the transaction rules, shared with the sync facade, read as the bound session.
        return self.connection_local.get()


class _AsyncTransaction(_Transaction):
    # The rules are the sync facade's; only the session steps differ. They run inside the
    # greenlet of __aexit__, as AsyncSession's own methods run the sync session's.

    def _open(self):
        return AsyncSession(self._facade.data_source, expire_on_commit=False)

    def _commit(self, session):
        await_only(session.commit())

    def _rollback(self, session):
        await_only(session.rollback())

    def _close(self, session):
        await_only(_close(session))

    def __enter__(self):
        # A plain `with` would bind a session whose end could only be awaited: its commit would
        # fail and its connection stay checked out, in an open transaction.
        raise TypeError("AsyncVerdinSqlSession.transaction() is entered with 'async with', not 'with'")

    async def __aenter__(self):
        return _Transaction.__enter__(self)

    async def __aexit__(self, exc_type, exc, traceback):
        return await greenlet_spawn(_Transaction.__exit__, self, exc_type, exc, traceback)
