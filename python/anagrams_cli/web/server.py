"""The local web page's server (Starlette on uvicorn): the page itself, and
its API of JSON answers and one stream of anagrams per page at a time.

Each search runs in a worker thread a batch at a time; it stops when the
page has gone, or when a newer request from the same page (its `client` id
and a higher `seq`) has come in: the engine's iterator is cancelled, which
ends even a batch in progress. The count of engine calls
in progress is at /api/status."""

from __future__ import annotations

import asyncio
import json
import os
import re
from collections import OrderedDict
from typing import Any, AsyncIterator, Callable

import anyio
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from .engine import BadInput, Engine, next_batch

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
_CLIENT = re.compile(r"^[A-Za-z0-9_-]{1,64}$")
_MAX_CLIENTS = 1000  # pages remembered for superseding; the oldest are forgotten
_MAX_PARALLEL = 4  # engine calls at once, over all pages
_FIRST_BATCH = 20  # a small first batch puts the first anagrams on the page sooner


class Pages:
    """What the server knows of each page: the newest request number of each
    kind, a lock so that a page runs one search (and one count) at a time,
    and how many engine calls are running."""

    def __init__(self) -> None:
        self.latest: OrderedDict[tuple[str, str], int] = OrderedDict()
        self.locks: dict[tuple[str, str], asyncio.Lock] = {}
        self.running = {"search": 0, "count": 0, "words": 0}
        self.started = 0
        self.superseded = 0
        self.slots = asyncio.Semaphore(_MAX_PARALLEL)
        # The search each page is running, so that a newer request from the
        # page (or the page going away) ends it at once, mid-batch.
        self.searches: dict[tuple[str, str], tuple[int, Any]] = {}

    def claim(self, kind: str, client: str | None, seq: int) -> tuple[str, str] | None:
        """Records the request as its page's newest; None for a page without an id."""
        if client is None:
            return None
        key = (kind, client)
        if seq >= self.latest.get(key, -1):
            self.latest[key] = seq
        running = self.searches.get(key)
        if running is not None and running[0] < seq:
            running[1].cancel()
        self.latest.move_to_end(key)
        while len(self.latest) > _MAX_CLIENTS:
            old, _ = self.latest.popitem(last=False)
            lock = self.locks.get(old)
            if lock is not None and not lock.locked():
                del self.locks[old]
        return key

    def stale(self, key: tuple[str, str] | None, seq: int) -> bool:
        return key is not None and self.latest.get(key, seq) > seq

    def lock(self, key: tuple[str, str] | None) -> asyncio.Lock:
        if key is None:
            return asyncio.Lock()
        return self.locks.setdefault(key, asyncio.Lock())


def _client(request: Request) -> tuple[str | None, int]:
    client = request.query_params.get("client")
    if client is not None and not _CLIENT.match(client):
        raise BadInput("client: letters, digits, '-' and '_' only, at most 64")
    seq_text = request.query_params.get("seq", "0")
    if not seq_text.isdigit() or len(seq_text) > 15:
        raise BadInput("seq: a whole number")
    return client, int(seq_text)


def _params(request: Request) -> dict[str, Any]:
    q = request.query_params
    return {k: q.getlist(k) for k in q.keys()}


def _line(obj: dict[str, Any]) -> bytes:
    return (json.dumps(obj, ensure_ascii=False) + "\n").encode("utf-8")


def create_app(engine: Engine) -> Starlette:
    pages = Pages()
    limits = engine.limits

    async def engine_call(kind: str, fn: Callable[..., Any], *args: Any) -> Any:
        pages.running[kind] += 1
        try:
            return await anyio.to_thread.run_sync(fn, *args)
        finally:
            pages.running[kind] -= 1

    async def index(request: Request) -> Response:
        return FileResponse(os.path.join(STATIC, "index.html"),
                            headers={"Cache-Control": "no-store"})

    async def status(request: Request) -> Response:
        return JSONResponse({"running": sum(pages.running.values()), **pages.running,
                             "started": pages.started, "superseded": pages.superseded})

    async def info(request: Request) -> Response:
        return JSONResponse({"ranked": engine.ranked, "words": len(engine.keys),
                             "limits": {"phrase_chars": limits.phrase_chars,
                                        "phrase_letters": limits.phrase_letters,
                                        "kept_words": limits.kept_words, "page": limits.page,
                                        "offset": limits.offset}})

    async def count(request: Request) -> Response:
        client, seq = _client(request)
        prepared = engine.prepare(engine.parse(_params(request)))
        if prepared.message is not None:
            return JSONResponse({"count": 0, "message": prepared.message})
        key = pages.claim("count", client, seq)
        async with pages.lock(key):
            # A count cannot be stopped once begun, so a page's counts queue
            # here, and one that a newer count has overtaken is never begun.
            if pages.stale(key, seq):
                pages.superseded += 1
                return JSONResponse({"superseded": True})
            async with pages.slots:
                n = await engine_call("count", engine.count, prepared)
        if n is None:
            return JSONResponse({"count": None, "message": "Too many to count in the time and memory allowed"})
        return JSONResponse({"count": str(n) if n > 2**53 else n})

    async def words(request: Request) -> Response:
        _client(request)
        prepared = engine.prepare(engine.parse(_params(request)))
        if prepared.message is not None:
            return JSONResponse({"words": [], "total": 0, "letters": "", "message": prepared.message})
        async with pages.slots:
            return JSONResponse(await engine_call("words", engine.words, prepared))

    async def test(request: Request) -> Response:
        _client(request)
        return JSONResponse(engine.test(engine.parse(_params(request))))

    async def search(request: Request) -> Response:
        client, seq = _client(request)
        prepared = engine.prepare(engine.parse(_params(request)))
        key = pages.claim("search", client, seq)

        async def stream() -> AsyncIterator[bytes]:
            yield _line({"type": "start", "seq": seq})
            if prepared.message is not None:
                yield _line({"type": "end", "given": 0, "message": prepared.message})
                return
            async with pages.lock(key):
                if pages.stale(key, seq):
                    pages.superseded += 1
                    yield _line({"type": "end", "superseded": True})
                    return
                async with pages.slots:
                    async for line in run(prepared, key, seq):
                        yield line

        return StreamingResponse(stream(), media_type="application/x-ndjson",
                                 headers={"Cache-Control": "no-store", "X-Accel-Buffering": "no"})

    async def run(prepared: Any, key: tuple[str, str] | None, seq: int) -> AsyncIterator[bytes]:
        pages.started += 1
        pages.running["search"] += 1
        given, spent, timed_out = 0, False, False
        try:
            items = await anyio.to_thread.run_sync(engine.anagrams, prepared)
            if key is not None:
                pages.searches[key] = (seq, items)
            most = min(_FIRST_BATCH, prepared.query.limit)
            while not spent:
                try:
                    batch, spent = await anyio.to_thread.run_sync(
                        next_batch, items, most, limits.batch_seconds)
                    most = prepared.query.limit
                except MemoryError:
                    yield _line({"type": "end", "given": given,
                                 "message": "This search needs more memory than the server allows: "
                                 "narrow it with a constraint"})
                    return
                if pages.stale(key, seq):
                    pages.superseded += 1
                    yield _line({"type": "end", "given": given, "superseded": True})
                    return
                if batch:
                    given += len(batch)
                    yield _line({"type": "rows",
                                 "rows": [{"score": s, "words": w} for s, w in batch]})
            timed_out = items.timed_out
            message = engine.nothing(prepared) if given == 0 and prepared.query.offset == 0 else None
            if timed_out and given == 0:
                message = "The search ran out of time before finding an anagram"
            yield _line({"type": "end", "given": given, "message": message, "timed_out": timed_out,
                         "more": given >= prepared.query.limit
                         and prepared.query.offset + given < limits.offset})
        finally:
            if key is not None and pages.searches.get(key, (None, None))[0] == seq:
                pages.searches.pop(key)[1].cancel()
            pages.running["search"] -= 1

    async def bad_input(request: Request, exc: Exception) -> Response:
        return JSONResponse({"error": str(exc)}, status_code=400)

    routes = [
        Route("/", index),
        Route("/api/status", status),
        Route("/api/info", info),
        Route("/api/count", count),
        Route("/api/search", search),
        Route("/api/words", words),
        Route("/api/test", test),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    return Starlette(routes=routes, exception_handlers={BadInput: bad_input})
