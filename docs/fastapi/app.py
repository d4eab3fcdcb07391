"""A FastAPI service in which each write request runs in one transaction.

Run it from this folder with ``uvicorn app:app`` (an SQLite file ``notes.db``; set ``NOTES_URL`` to
use another async database URL), or build an app with ``create_app(url)``.
"""
import os
from contextlib import asynccontextmanager
from pathlib import Path

from fastapi import Depends, FastAPI, HTTPException
from pydantic import BaseModel
from sqlalchemy import text
from sqlalchemy.ext.asyncio import create_async_engine

from verdin.db.asyncfront import AsyncVerdinSqlSession
from verdin.mapper.stmtloom import load_mappers

MAPPERS = Path(__file__).with_name("notes.xml")


class Note(BaseModel):
    title: str
    body: str = ""


def create_app(url: str) -> FastAPI:
    engine = create_async_engine(url)
    db = AsyncVerdinSqlSession(load_mappers(str(MAPPERS)), engine)

    @asynccontextmanager
    async def lifespan(app: FastAPI):
        async with engine.begin() as conn:
            await conn.execute(text("create table if not exists note "
                                    "(id integer primary key, title varchar(100) not null, body text)"))
        yield
        await engine.dispose()

    async def transaction():
        # Binds a session to the task serving the request: every statement of the endpoint runs
        # in it; committed when the endpoint returns, rolled back when it raises.
        async with db.transaction():
            yield

    app = FastAPI(lifespan=lifespan)

    # scope="function" ends the transaction before the response is sent, so a failed commit
    # answers 500; by default FastAPI would run it after sending 200.
    @app.post("/notes", dependencies=[Depends(transaction, scope="function")])
    async def add_notes(notes: list[Note]):
        for note in notes:
            if not note.title.strip():
                # raised after earlier notes were written: none of them is kept
                raise HTTPException(422, "every note needs a title")
            await db.execute_sql("add", "notes", note.model_dump())
        return {"added": len(notes)}

    @app.get("/notes")
    async def list_notes():
        return await db.execute_sql("all", "notes", {})

    return app


app = create_app(os.environ.get("NOTES_URL", "sqlite+aiosqlite:///notes.db"))
