"""The rows of a query as an iterator, fetched batch by batch: what ``stream_sql`` of both facades
returns. The native facade assembles the statement; here it runs on a server-side cursor where
the dialect has one (``yield_per``), inside the template's session scope, so the scope's rules
hold as for every other call: an owned session is committed when the rows run out and closed, a
session bound by ``begin_tx()`` or ``transaction()`` is used as it is."""

from itertools import chain
from time import perf_counter

__all__ = ["Rows", "stream_rows"]


def _as_list_of(return_type):
    # Each row is mapped as an element of a list result: return_type=M streams M objects.
    if return_type is None or return_type is list or getattr(return_type, "__origin__", None) is list:
        return return_type
    return list[return_type]


_RELEASED = ("the session this stream reads in ended its transaction (commit(), rollback(), close() or "
             "the end of its transaction() block) before the rows ran out: the rest cannot be read")


def _batches(template, con, sql, binds, result_type, return_type, batch_size, results_handle, statement):
    wanted = _as_list_of(return_type)
    options = {"stream_results": True, "yield_per": batch_size}
    started = perf_counter()
    error = None
    released = False
    try:
        # Left when the rows run out, or by GeneratorExit when the iterator is closed or
        # collected: the connection goes back to the pool either way.
        with template.get_session(con) as session:
            result = session.execute(sql, binds, execution_options=options)
            # What row._asdict() gives (labels in select order, a repeated label keeping its last
            # value), without its Python call per row.
            keys = tuple(result.keys())
            # A bound session can end its transaction while the stream is open (commit(), the
            # end of its transaction() block), and its connection go back to the pool, where
            # another session may take it. The stream reads no further then: that would lose the
            # rest of the rows (MariaDB) or fail. Nor is a server-side cursor closed, which would
            # send a CLOSE into that other session's transaction (PostgreSQL); a client-side one
            # (SQLite's) is, to end its statement, which would otherwise keep the table locked.
            connection = getattr(getattr(result, "context", None), "root_connection", None)
            try:
                batches = result.partitions(batch_size)
                while not (released := connection is not None and connection.closed):
                    rows = next(batches, None)
                    if rows is None:
                        break
                    yield results_handle([dict(zip(keys, row)) for row in rows], result_type, wanted)
                    if len(rows) < batch_size:
                        break  # a short batch is the last: the rows have run out, whatever came since
            finally:
                if connection is None or not (connection.closed and connection.dialect.supports_server_side_cursors):
                    result.close()
        # Raised once out of the scope: the bound session, in its next transaction by now, is
        # not rolled back for it.
        if released:
            raise RuntimeError(_RELEASED)
    except GeneratorExit:
        raise
    except BaseException as exc:
        error = exc
        raise
    finally:
        # Logged once the stream has ended, so that its time and a failure fetching any batch
        # are in the one record; a statement that fails gets the note every other one gets.
        if statement is not None:
            finished, namespace, sql_id, server = statement
            finished(namespace, sql_id, sql, server, (perf_counter() - started) * 1000.0, error)


class Rows:
    """An iterator of mapped rows; ``close()`` (or leaving a ``with`` block) gives the connection
    back before the rows run out."""

    def __init__(self, batches):
        self.batches = batches  # lists of mapped rows, for the async facade's one step per batch
        self._rows = chain.from_iterable(batches)

    def __iter__(self):
        # A for loop steps the chain itself, without a Python call per row.
        return self._rows

    def __next__(self):
        return next(self._rows)

    def close(self):
        self.batches.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, traceback):
        self.close()
        return False


def stream_rows(template, con, sql, binds, result_type, return_type, batch_size, results_handle, *, statement=None):
    """``statement``, when given, is (finished, namespace, sql_id, server) of the statement
    streamed: ``finished(namespace, sql_id, sql, server, duration_ms, error)`` reports its end to
    the statement log and notes its error, as the facades do for every call."""
    return Rows(_batches(template, con, sql, binds, result_type, return_type, batch_size, results_handle,
                         statement))

