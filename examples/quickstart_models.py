"""The result class that examples/mappers/tracks.xml names in resultType."""
from typing import Optional

from pydantic import BaseModel


class Track(BaseModel):
    id: int
    name: str
    composer: Optional[str] = None
    milliseconds: int
    price: float
