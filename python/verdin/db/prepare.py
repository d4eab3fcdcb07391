"""Has a database parse and plan a statement without running it, for `python -m verdin check --db`.

Each statement is compiled as the dialect's driver would send it and handed to the database's own
means of preparing a statement: PostgreSQL parses and analyses it (through psycopg's protocol-level
prepare, with as many untyped parameters as the driver would send, else the PREPARE statement),
MariaDB and MySQL PREPARE it, SQLite compiles it with EXPLAIN. None of these runs the statement.
Each one also happens inside a transaction that is rolled back (read only on PostgreSQL and SQLite),
so that nothing could be written even if a database did more than asked.
"""
from sqlalchemy import create_engine

STATEMENT_NAME = "verdin_check"


def message(error):
    """The database's own words for a failure: its primary message, on one line."""
    orig = getattr(error, "orig", None) or error
    diag = getattr(orig, "diag", None)
    if diag is not None and getattr(diag, "message_primary", None):
        return diag.message_primary
    args = getattr(orig, "args", ())
    if len(args) == 2 and isinstance(args[0], int) and isinstance(args[1], str):
        return args[1]  # MySQL drivers: (code, text)
    text = str(orig).strip()
    return text.splitlines()[0] if text else type(orig).__name__


class Preparer:
    """prepare(clause) -> None when the database accepts the statement, else its message."""

    def __init__(self, url):
        self.engine = create_engine(url)
        dialect = self.engine.dialect
        self.name = self.dialect = dialect.name  # as mappers are loaded for it: mysql, mariadb...
        if self.name == "postgresql":
            self.paramstyle, self.prepare_one = "numeric_dollar", self._postgresql
        elif self.name in ("mysql", "mariadb"):
            self.paramstyle, self.prepare_one = "qmark", self._mysql
        elif self.name == "sqlite":
            self.paramstyle, self.prepare_one = "qmark", self._sqlite
        else:
            self.engine.dispose()
            raise ValueError(f"checking against {self.name} is not supported: use PostgreSQL, MariaDB, MySQL or SQLite")
        self.compiler = type(dialect)(paramstyle=self.paramstyle)
        self.connection = self.engine.raw_connection()
        self.is_mariadb = getattr(dialect, "is_mariadb", False) or self.name == "mariadb"

    def close(self):
        try:
            self.connection.rollback()
        finally:
            self.connection.close()
            self.engine.dispose()

    def prepare(self, clause):
        compiled = clause.compile(dialect=self.compiler)
        count = len(compiled.positiontup or ())
        try:
            self.prepare_one(compiled.string, count)
            return None
        except Exception as e:  # noqa: BLE001 - the driver's error is the finding
            return message(e)
        finally:
            self.connection.rollback()

    def _postgresql(self, sql, count):
        cursor = self.connection.cursor()
        cursor.execute("SET TRANSACTION READ ONLY")
        pgconn = getattr(self.connection.driver_connection, "pgconn", None)
        if pgconn is None:
            cursor.execute(f"PREPARE {STATEMENT_NAME} AS {sql}")
        else:
            # The driver's own way: a statement with `count` parameters of no declared type, so that a
            # parameter the text does not use fails here as it fails when the statement runs.
            from psycopg import pq
            result = pgconn.prepare(STATEMENT_NAME.encode(), sql.encode(), [0] * count)
            if result.status != pq.ExecStatus.COMMAND_OK:
                primary = result.error_field(pq.DiagnosticField.MESSAGE_PRIMARY)
                raise RuntimeError((primary or result.error_message or b"").decode(errors="replace"))
        cursor.execute(f"DEALLOCATE {STATEMENT_NAME}")

    def _mysql(self, sql, count):
        cursor = self.connection.cursor()
        # Not READ ONLY: MariaDB refuses to prepare a write in a read-only transaction.
        cursor.execute("BEGIN")
        cursor.execute(f"PREPARE {STATEMENT_NAME} FROM %s", (sql,))
        cursor.execute(f"DEALLOCATE PREPARE {STATEMENT_NAME}")

    def _sqlite(self, sql, count):
        cursor = self.connection.cursor()
        cursor.execute("PRAGMA query_only = ON")
        try:
            cursor.execute(f"EXPLAIN {sql}", [None] * count)
            cursor.fetchall()
        finally:
            cursor.execute("PRAGMA query_only = OFF")
