"""Result classes that test mapper files name in resultType."""
import dataclasses
from typing import Optional

import pydantic
from sqlalchemy import Integer, String
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column


class UserModel(pydantic.BaseModel):
    id: int
    name: str
    age: Optional[int] = None


@dataclasses.dataclass
class UserData:
    id: int
    name: str
    age: Optional[int] = None


class Base(DeclarativeBase):
    pass


class UserRow(Base):
    __tablename__ = "verdin_user"
    id: Mapped[int] = mapped_column(Integer, primary_key=True, autoincrement=True)
    name: Mapped[str] = mapped_column(String(50))
    age: Mapped[Optional[int]] = mapped_column(Integer, nullable=True)
