"""Result classes named by chinook.xml."""
from decimal import Decimal

from pydantic import BaseModel


class TrackRow(BaseModel):
    track_id: int
    name: str
    album: str
    artist: str
    genre: str | None
    minutes: float
    unit_price: Decimal


class ArtistSales(BaseModel):
    artist: str
    tracks_sold: int
    revenue: Decimal


class CustomerInvoice(BaseModel):
    invoice_id: int
    invoice_date: str
    customer: str
    country: str | None
    total: Decimal
