"""The session facade for asyncio code, over a SQLAlchemy ``AsyncEngine``.

Statements are assembled, run and mapped by the native sync facade itself: each call runs it in
SQLAlchemy's greenlet bridge (as ``AsyncSession.run_sync`` does), on the sync side of the session
bound to the current task, or on a session of its own when none is bound. Only the coroutine
plumbing lives here.
"""
import asyncio
from contextvars import ContextVar

from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession
from sqlalchemy.util import greenlet_spawn

from verdin.db.txnfront import VerdinSqlSession

__all__ = ["AsyncVerdinSqlSession"]

# The sync session the facade below must use, set only for the length of one call inside the
# greenlet, so concurrent tasks never see each other's.
_running_in = ContextVar("asyncfront_running_in", default=None)

# A transaction() keeps its state in its session's info, under the key the native session scope
# reads and marks: True while the block runs, the exception of the first statement that failed
# and rolled the session back, False once the block has ended (a task that outlived the block
# is then refused rather than run in the closed session).
_TX_STATE = "verdin.transaction"


def _refuse_inside_transaction(session, method):
    state = None if session is None else session.info.get(_TX_STATE)
    if state is True or isinstance(state, BaseException):
        raise RuntimeError(
            f"{method} inside a transaction() block would discard the block's work: "
            "the block commits or rolls back and closes its session when it ends"
        )


class _SyncFacade(VerdinSqlSession):
    def _VerdinSqlSession__con(self):
        return _running_in.get()


def _run(facade, session, sql_id, namespace, ori_params, page, return_type):
    token = _running_in.set(session)
    try:
        return facade.execute_sql(sql_id, namespace, ori_params, page, return_type)
    finally:
        _running_in.reset(token)


async def _close(session):
    # Shielded like AsyncSession's own exit: a cancelled request must still give its connection
    # back to the pool.
    await asyncio.shield(asyncio.ensure_future(session.close()))


class AsyncVerdinSqlSession:
    """Runs mapper statements by namespace and id from asyncio code; a session bound with
    ``begin_tx()`` or ``transaction()`` belongs to the current task."""

    connection_local = ContextVar("async_connection_local", default=None)

    def __init__(self, mapper_dict, data_source):
        if not isinstance(data_source, AsyncEngine):
            raise TypeError(
                f"Argument 'data_source' has incorrect type (expected AsyncEngine, got {type(data_source).__name__})"
            )
        self._facade = _SyncFacade(mapper_dict, data_source=data_source.sync_engine)
        self.mapper_dict = mapper_dict
        self.data_source = data_source

    async def execute_sql(self, sql_id, namespace=None, ori_params=None, page=None, return_type=None):
        bound = self.connection_local.get()
        session = None if bound is None else bound.sync_session
        return await greenlet_spawn(_run, self._facade, session, sql_id, namespace, ori_params, page, return_type)

    async def begin_tx(self):
        _refuse_inside_transaction(self.connection_local.get(), "begin_tx()")
        # The session replaced here could never be reached again: close it (rolling its work back).
        await self.close()
        self.connection_local.set(AsyncSession(self.data_source, expire_on_commit=False))

    async def commit(self):
        session = self.connection_local.get()
        if session is not None:
            await session.commit()

    async def rollback(self):
        session = self.connection_local.get()
        if session is not None:
            await session.rollback()

    async def close(self):
        session = self.connection_local.get()
        if session is not None:
            _refuse_inside_transaction(session, "close()")
            await _close(session)
            self.connection_local.set(None)

    def transaction(self):
        """An async context manager that binds a new ``AsyncSession`` to the current task and
        returns it; the session is committed when the block ends, rolled back when it raises,
        then closed and unbound. Refused while a session is already bound."""
        return _Transaction(self)


class _Transaction:
    def __init__(self, facade):
        self._facade = facade
        self._session = None

    async def __aenter__(self):
        if self._session is not None:
            raise RuntimeError("this transaction has already been entered")
        var = self._facade.connection_local
        if var.get() is not None:
            raise RuntimeError("a session is already bound to this context: close() it before opening a transaction()")
        session = AsyncSession(self._facade.data_source, expire_on_commit=False)
        session.info[_TX_STATE] = True
        self._session = session
        var.set(session)
        return session

    async def __aexit__(self, exc_type, exc, traceback):
        session, self._session = self._session, None
        if session is None:
            return False
        try:
            if exc_type is not None or exc is not None:
                await session.rollback()
            elif not isinstance(failure := session.info.get(_TX_STATE), BaseException):
                await session.commit()
            else:
                # The body went on after a statement failed and rolled the session back:
                # committing would keep only what ran after the failure and report success.
                try:
                    raise RuntimeError(
                        "a statement in the transaction failed and was rolled back; nothing was committed"
                    ) from failure
                except RuntimeError:
                    await session.rollback()
                    raise
        finally:
            try:
                await _close(session)
            finally:
                session.info[_TX_STATE] = False
                var = self._facade.connection_local
                current = var.get()
                var.set(None)
                # A session the body bound in place of ours is closed as begin_tx would close it.
                if current is not None and current is not session:
                    await _close(current)
        return False
