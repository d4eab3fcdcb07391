"""The result class that examples/mappers/tracks.xml names in resultType."""

from pydantic import BaseModel


class Track(BaseModel):
    id: int
    name: str
    composer: str | None = None
    milliseconds: int
    price: float
