"""Copies the Chinook sample database from its SQLite file into another database, such as
PostgreSQL, so that the report runs there too.

Run from the repository root:
    python examples/chinook/load.py path/to/Chinook_Sqlite.sqlite postgresql+psycopg://postgres@127.0.0.1:5432/test

Tables and columns are created with lower-case names: chinook.xml writes them unquoted
(Track, TrackId), and PostgreSQL folds unquoted names to lower case. Keys are copied,
foreign keys and indexes are left out.
"""
import sys

from sqlalchemy import Column, MetaData, Table, create_engine, select


def copy_chinook(source, target_engine):
    """Creates the Chinook tables in `target_engine`'s database and copies every row of the
    SQLite file `source` into them."""
    source_engine = create_engine(f"sqlite:///{source}")
    try:
        found = MetaData()
        found.reflect(source_engine)
        made = MetaData()
        tables = {
            table: Table(table.name.lower(), made, *(
                Column(c.name.lower(), c.type.as_generic(), primary_key=c.primary_key, autoincrement=False,
                       nullable=c.nullable) for c in table.columns))
            for table in found.sorted_tables}
        made.create_all(target_engine)
        with source_engine.connect() as reading, target_engine.begin() as writing:
            for table, copy in tables.items():
                rows = [{k.lower(): v for k, v in row.items()} for row in reading.execute(select(table)).mappings()]
                if rows:
                    writing.execute(copy.insert(), rows)
    finally:
        source_engine.dispose()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: python examples/chinook/load.py Chinook_Sqlite.sqlite DATABASE_URL")
    engine = create_engine(sys.argv[2])
    copy_chinook(sys.argv[1], engine)
    engine.dispose()
    print("copied Chinook into", engine.url.render_as_string(hide_password=True))
