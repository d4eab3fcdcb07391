"""verdin in one page: a mapper file, an SQLite database, models, paging and a transaction.

Run from the repository root:  python examples/quickstart.py
"""
import os
import tempfile

from sqlalchemy import create_engine, text

from quickstart_models import Track
from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import load_mappers

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    folder = tempfile.mkdtemp(prefix="verdin-quickstart-")
    engine = create_engine(f"sqlite:///{os.path.join(folder, 'music.db')}")
    with engine.begin() as conn:
        conn.execute(text("create table track (id integer primary key autoincrement, name text not null, "
                          "composer text, milliseconds integer not null, price real not null)"))

    # One ParseMapper per mapper file, keyed by namespace; the facade runs statements by id.
    db = VerdinSqlSession(load_mappers(os.path.join(HERE, "mappers")), data_source=engine)

    for name, composer, ms in [("For Those About To Rock", "Angus Young", 343719),
                               ("Balls to the Wall", None, 342562),
                               ("Fast As a Shark", "F. Baltes", 230619),
                               ("Restless and Wild", "F. Baltes", 252051),
                               ("Princess of the Dawn", "Deaffy", 375418)]:
        new_id = db.execute_sql("add", "tracks", {"name": name, "composer": composer, "milliseconds": ms,
                                                  "price": 0.99})
        print(f"inserted track {new_id}: {name}")

    # Rows become pydantic models: the statement declares resultType="quickstart_models.Track".
    print("\nby F. Baltes:")
    for track in db.execute_sql("search", "tracks", {"composer": "F. Baltes"}):
        assert isinstance(track, Track)
        print(f"  {track.id} {track.name} ({track.milliseconds / 1000:.0f} s)")

    print("\nlongest of tracks 1, 2, 5:",
          db.execute_sql("search", "tracks", {"ids": [1, 2, 5], "order": "longest"}, return_type=Track).name)
    print("tracks in total:", db.execute_sql("count", "tracks", {}, return_type=int))

    # Paging: a count query and a limited query in one transaction.
    page = db.execute_sql("search", "tracks", {"longer_than": 240000}, page=Page(1, 2))
    print(f"\npage {page['pageNum']} of tracks over 4 minutes ({page['total']} in all):",
          [t.name for t in page["list"]])

    # A transaction across calls: nothing is kept after the rollback.
    db.begin_tx()
    try:
        db.execute_sql("reprice", "tracks", {"id": 1, "price": 1.99})
        db.execute_sql("remove", "tracks", {"id": 2})
        print("\ninside the transaction:", db.execute_sql("count", "tracks", {}, return_type=int), "tracks")
        db.rollback()
    finally:
        db.close()
    after = db.execute_sql("search", "tracks", {"ids": [1]}, return_type=Track)
    print("after rollback:", db.execute_sql("count", "tracks", {}, return_type=int), "tracks;",
          f"track 1 still costs {after.price}")

    # What the mapper produced, for debugging: the SQL and its bind values.
    sql, binds, kind, result_type = db.mapper_dict["tracks"].get_sql("search", {"ids": [3, 4]})
    print("\nSQL:", sql.text)
    print("binds:", binds)
    engine.dispose()


if __name__ == "__main__":
    main()
