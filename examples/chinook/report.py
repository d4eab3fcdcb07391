"""A small report over the Chinook sample database: filters, IN-lists, paging, pydantic
results and a transaction.

Run from the repository root:  python examples/chinook/report.py [path/to/Chinook_Sqlite.sqlite]
The database file is copied to a temporary folder first, so the original stays untouched.

Or give a database URL instead of the file, for a database that holds Chinook already (load.py
copies it there), for example:
    python examples/chinook/report.py postgresql+psycopg://postgres@127.0.0.1:5432/test
The playlists the report makes are removed again at the end.
"""
import os
import shutil
import sys
import tempfile

from sqlalchemy import create_engine

from report_models import ArtistSales, TrackRow
from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import load_mappers

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DB = os.path.join(HERE, "..", "..", "..", "shared", "data", "chinook", "Chinook_Sqlite.sqlite")


class Report:
    """The report's queries, by name, over one Chinook database."""

    def __init__(self, url):
        self.engine = create_engine(url)
        self.db = VerdinSqlSession(load_mappers(os.path.join(HERE, "chinook.xml")), data_source=self.engine)

    def tracks(self, **filters):
        if "min_minutes" in filters:
            filters["min_ms"] = int(filters["min_minutes"] * 60000)
        return self.db.execute_sql("tracks", "chinook", filters)

    def longest_track(self, **filters):
        return self.db.execute_sql("tracks", "chinook", dict(filters, order="longest"), return_type=TrackRow)

    def top_artists(self, countries=(), page=1, size=5):
        return self.db.execute_sql("top_artists", "chinook", {"countries": list(countries)}, page=Page(page, size))

    def invoices(self, country=None, since=None, page=1, size=5):
        return self.db.execute_sql("invoices", "chinook", {"country": country, "since": since}, page=Page(page, size))

    def sales_by_country(self, top=5):
        return self.db.execute_sql("sales_by_country", "chinook", {"top": top})

    def make_playlist(self, playlist_id, name, album_ids, price=None, commit=True):
        """Creates a playlist from whole albums (and reprices them) in one transaction."""
        self.db.begin_tx()
        try:
            self.db.execute_sql("new_playlist", "chinook", {"playlist_id": playlist_id, "name": name})
            for album_id in album_ids:
                self.db.execute_sql("add_to_playlist", "chinook", {"playlist_id": playlist_id, "album_id": album_id})
                if price is not None:
                    self.db.execute_sql("reprice_album", "chinook", {"album_id": album_id, "price": price})
            size = self.db.execute_sql("playlist_size", "chinook", {"playlist_id": playlist_id}, return_type=int)
            if commit:
                self.db.commit()
            else:
                self.db.rollback()
            return size
        except Exception:
            self.db.rollback()
            raise
        finally:
            self.db.close()

    def drop_playlist(self, playlist_id):
        self.db.begin_tx()
        try:
            self.db.execute_sql("clear_playlist", "chinook", {"playlist_id": playlist_id})
            self.db.execute_sql("drop_playlist", "chinook", {"playlist_id": playlist_id})
            self.db.commit()
        finally:
            self.db.close()

    def playlist_size(self, playlist_id):
        return self.db.execute_sql("playlist_size", "chinook", {"playlist_id": playlist_id}, return_type=int)

    def close(self):
        self.engine.dispose()


def main(argv):
    source = argv[1] if len(argv) > 1 else DEFAULT_DB
    folder = None
    if "://" in source:
        url = source
    elif os.path.exists(source):
        folder = tempfile.mkdtemp(prefix="verdin-chinook-")
        url = "sqlite:///" + shutil.copy(source, os.path.join(folder, "chinook.sqlite"))
    else:
        sys.exit(f"Chinook database not found at {source}; pass its path or a database URL as the first argument")
    report = Report(url)
    try:
        rock = report.tracks(genres=["Rock", "Metal"], artist="Iron%", min_minutes=8)
        print(f"{len(rock)} Iron Maiden-ish rock/metal tracks of 8+ minutes; the first:")
        for t in rock[:3]:
            assert isinstance(t, TrackRow)
            print(f"  {t.track_id:>5} {t.name} ({t.album}) {t.minutes} min")
        longest = report.longest_track(genres=["Jazz"])
        print(f"longest jazz track: {longest.name} by {longest.artist}, {longest.minutes} min")

        top = report.top_artists(countries=["Brazil", "Canada"], size=3)
        print(f"\ntop artists in Brazil and Canada ({top['total']} artists sold there):")
        for a in top["list"]:
            assert isinstance(a, ArtistSales)
            print(f"  {a.artist}: {a.tracks_sold} tracks, {a.revenue}")

        page = report.invoices(country="Germany", page=2, size=3)
        print(f"\nGerman invoices, page {page['pageNum']} of {-(-page['total'] // page['pageSize'])}:")
        for inv in page["list"]:
            print(f"  #{inv.invoice_id} {inv.invoice_date} {inv.customer}: {inv.total}")

        print("\nsales by country:", ", ".join(f"{r['country']} {r['total']}" for r in report.sales_by_country(3)))

        size = report.make_playlist(9001, "Trial mix", [1, 4], price=0.79, commit=False)
        print(f"\nrolled back a playlist of {size} tracks: it now has {report.playlist_size(9001)}")
        size = report.make_playlist(9002, "Kept mix", [1, 4])
        print(f"committed a playlist of {size} tracks: it now has {report.playlist_size(9002)}")
        report.drop_playlist(9002)
    finally:
        report.close()
        if folder:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv)
