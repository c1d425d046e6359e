"""The web page's server without a browser: its answers against the command's
own, the bounds and messages, and that searches stop when their page goes
away or sends a newer one, with memory flat on a phrase with billions of
anagrams. The pure parts (fitting words, the test of a candidate) are
checked on the engine object directly."""

import random
import subprocess
import sys
import time
from collections import Counter

import pytest

from cli_run import argv, command_env, run
from conftest import ROOT, sanitizer_loaded
from web_run import Server, web_stack_missing

sys.path.insert(0, str(ROOT / "python"))
from anagrams_cli.web.engine import _fits, _pack  # noqa: E402

pytestmark = [
    pytest.mark.skipif(bool(web_stack_missing()), reason="the web stack is not installed (pip install '.[web]')"),
    # The server is Python with timed limits: nothing there for AddressSanitizer.
    pytest.mark.skipif(sanitizer_loaded(), reason="not run under AddressSanitizer"),
]

HUGE = "anagram solver engine online"  # billions of anagrams
SLOW = "the quick brown fox jumps over the lazy dog"  # no first anagram within the limit


@pytest.fixture(scope="module")
def server():
    s = Server("--timeout", "1.5")
    yield s
    s.stop()


def rows_of(lines):
    return [row for line in lines if line["type"] == "rows" for row in line["rows"]]


def end_of(lines):
    assert lines[0]["type"] == "start" and lines[-1]["type"] == "end"
    return lines[-1]


def command_count(*args):
    done = run(*args, "--count")
    assert done.returncode == 0, done.stderr
    return int(done.stdout)


def test_start_listens_on_loopback_at_a_free_port_and_warns_when_widened():
    a, b = Server(), Server("--host", "127.0.0.2")
    try:
        assert a.host == "127.0.0.1" and a.port != b.port and a.port > 0
        assert a.get("/api/info")[1]["ranked"] is True
        assert b.get("/api/status")[0] == 200
    finally:
        a.stop()
        b.stop()
    done = subprocess.run(argv("--serve", "listen"), env=command_env(), capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 2 and "takes no PHRASE" in done.stderr
    done = subprocess.run(argv("--serve", "--dict", "/nonexistent/words"), env=command_env(),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and "/nonexistent/words" in done.stderr


def test_host_warning_is_printed(tmp_path):
    proc = subprocess.Popen(argv("--serve", "--host", "127.0.0.3"), env=command_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert "http://127.0.0.3:" in proc.stdout.readline()
    finally:
        proc.terminate()
        _, err = proc.communicate(timeout=10)
    assert "warning: listening on 127.0.0.3" in err


def test_count_and_best_match_the_command_and_pages_continue(server):
    status, body = server.get("/api/count", phrase="Clint Eastwood")
    assert status == 200 and body["count"] == command_count("Clint Eastwood")
    first = rows_of(server.search(phrase="Clint Eastwood", limit=10))
    best = run("Clint Eastwood", "--best", "10", "--show-scores").stdout.splitlines()
    assert [f"{r['score']:.2f}\t{' '.join(r['words'])}" for r in first] == best
    scores = [r["score"] for r in first]
    assert scores == sorted(scores, reverse=True)
    later = server.search(phrase="Clint Eastwood", offset=5, limit=5)
    assert rows_of(later) == first[5:] and end_of(later)["more"] is True
    assert server.get("/api/count", phrase=HUGE)[1]["count"] == command_count(HUGE) > 2 * 10**9


def test_constraints_and_kept_words_match_the_command(server):
    cases = [
        ({"max_words": 2}, ["--max-words", "2"]),
        ({"min_length": 4, "not_start": "a, e"}, ["--min-length", "4", "--not-start-with", "ae"]),
        ({"contains": "east wo", "only_start": "clwe"},
         ["--contains", "east", "--contains", "wo", "--only-start-with", "clwe"]),
        ({"must_start": "cc"}, ["--must-start-with", "cc"]),
        ({"keep": ["wand"], "include": "coil"}, ["--include", "wand coil"]),
        ({"enum": "5,8"}, ["--enum", "5,8"]),
        ({"min_words": 4, "max_words": 4}, ["--min-words", "4", "--max-words", "4"]),
        ({"exclude": "to, on", "max_words": 3}, ["--exclude", "to on", "--max-words", "3"]),
    ]
    for params, options in cases:
        body = server.get("/api/count", phrase="Clint Eastwood", **params)[1]
        assert body["count"] == command_count("Clint Eastwood", *options), params
        rows = rows_of(server.search(phrase="Clint Eastwood", limit=50, **params))
        listed = set(run("Clint Eastwood", *options, "--all").stdout.splitlines())
        shown = [" ".join(r["words"]) for r in rows]
        assert len(shown) == min(50, body["count"]) and set(shown) <= listed, params
        assert [r["score"] for r in rows] == sorted((r["score"] for r in rows), reverse=True)
    rows = rows_of(server.search(phrase="dormitory", keep="dirty"))
    assert rows and all(r["words"][0] == "dirty" for r in rows)
    # Accented letters fold, as in the command.
    assert server.get("/api/count", phrase="Résumé")[1]["count"] == command_count("Résumé") > 0


def test_messages_for_no_letters_no_anagram_and_missing_letters(server):
    for phrase, text in [("1234 !?", "The phrase holds no letters a-z"), ("qqq", "No anagrams found")]:
        assert end_of(server.search(phrase=phrase))["message"] == text, phrase
        assert server.get("/api/count", phrase=phrase)[1]["count"] == 0
    end = end_of(server.search(phrase="dormitory", max_words=1, not_start="d"))
    assert end["message"] == "No anagrams found with these constraints" and end["given"] == 0
    end = end_of(server.search(phrase="dormitory", keep="zebra"))
    assert "lacks" in end["message"] and "abez" in end["message"]
    # The time limit ends a search that finds nothing in time, and says so.
    end = end_of(server.search(phrase=SLOW))
    assert end["timed_out"] is True and "time" in end["message"]
    assert server.get("/api/count", phrase=SLOW)[1] == {
        "count": None, "message": "Too many to count in the time and memory allowed"}


def test_every_input_is_bounded(server):
    bad = [
        dict(phrase="a" * 201),
        dict(phrase="abcdefghij" * 5),  # 50 letters
        dict(phrase="listen", keep=["a"] * 21),
        dict(phrase="listen", limit=201),
        dict(phrase="listen", limit=0),
        dict(phrase="listen", offset=10_001),
        dict(phrase="listen", max_words="many"),
        dict(phrase="listen", max_words=-1),
        dict(phrase="listen", must_start="x" * 61),
        dict(phrase="listen", contains=" ".join(["ab"] * 9)),
        dict(phrase="listen", candidate="y" * 201),
        dict(phrase="listen", client="<script>"),
        dict(phrase="listen", seq="-1"),
    ]
    for params in bad:
        for path in ("/api/count", "/api/search", "/api/words", "/api/test"):
            status, body = server.get(path, **params)
            assert status == 400 and body["error"], (path, params)
    assert server.get("/api/status")[1]["running"] == 0


def test_words_left_and_candidate_test(server):
    body = server.get("/api/words", phrase="Dormitory", keep="dirty")[1]
    assert body["letters"] == "moor" and body["phrase_letters"] == "dormitory"
    keys = [w["key"] for w in body["words"]]
    expected = run("dormitory", "--used", "dirty", "--words").stdout.split()
    assert sorted(keys) == sorted(expected)
    lengths = [len(k) for k in keys]
    assert lengths == sorted(lengths, reverse=True)
    # Equal lengths: the more common word first.
    assert keys.index("room") < keys.index("moor")
    full = server.get("/api/words", phrase="Dormitory")[1]
    assert full["words"][0]["key"] == "dormitory" and full["total"] == len(
        run("dormitory", "--words").stdout.split())
    assert server.get("/api/words", phrase="listen", keep="listen")[1]["words"] == []

    ok = server.get("/api/test", phrase="Dormitory", candidate="Dirty Room!")[1]
    assert ok == {"exact": True, "phrase_left": "", "candidate_left": "",
                  "known": ["Dirty", "Room!"], "unknown": []}
    no = server.get("/api/test", phrase="dormitory", candidate="dirt moor zz")[1]
    assert no["exact"] is False and no["phrase_left"] == "y" and no["candidate_left"] == "zz"
    assert no["unknown"] == ["zz"]


def test_a_closed_stream_stops_its_search(server):
    conn, response, lines = server.stream(phrase=HUGE, limit=200, client="tab1", seq=1)
    assert next(lines)["type"] == "start"
    conn.close()  # the tab goes away mid-stream
    assert server.wait_idle()
    # The slow phrase holds its engine call until the limit; closing still
    # ends it then, and the server goes on serving.
    conn, response, lines = server.stream(phrase=SLOW, client="tab2", seq=1)
    next(lines)
    time.sleep(0.2)
    assert server.running() == 1
    conn.close()
    assert server.wait_idle()
    assert rows_of(server.search(phrase="listen", limit=3))


def test_a_newer_request_of_the_same_page_supersedes_the_running_one(server):
    before = server.get("/api/status")[1]["superseded"]
    conn, response, old = server.stream(phrase=SLOW, client="page", seq=5)
    next(old)
    time.sleep(0.2)
    new = server.search(phrase="dormitory", client="page", seq=6, limit=3)
    # The old stream ends as superseded rather than running to its end,
    # and the newer one answers in full.
    assert list(old)[-1] == {"type": "end", "given": 0, "superseded": True}
    conn.close()
    assert len(rows_of(new)) == 3
    # An older request arriving late is refused at once.
    late = server.search(phrase="dormitory", client="page", seq=4)
    assert end_of(late).get("superseded") is True
    assert server.get("/api/status")[1]["superseded"] >= before + 1
    assert server.wait_idle()


def test_many_quick_requests_and_billions_of_anagrams_keep_memory_flat(server):
    for offset in (0, 2000, 9900):  # warm up the tables once
        server.search(phrase=HUGE, offset=offset, limit=100)
    base = server.rss_mib()
    streams = []
    for i in range(100):  # a hundred keystrokes, each superseding the last
        phrase = HUGE[: 10 + i % 20]
        streams.append(server.stream(phrase=phrase, client="typist", seq=i, limit=200))
    for conn, response, lines in streams:
        list(lines)
        conn.close()
    for offset in (0, 5000, 9900):
        rows = rows_of(server.search(phrase=HUGE, offset=offset, limit=200))
        assert len(rows) == 200
    assert server.wait_idle()
    assert server.rss_mib() < base + 64, (base, server.rss_mib())


def test_fitting_words_agrees_with_counting_letters():
    rng = random.Random(7)
    for _ in range(2000):
        have = "".join(rng.choice("aabcdeeilmnorst") for _ in range(rng.randint(0, 30)))
        word = "".join(rng.choice("abcdeilmnorstz") for _ in range(rng.randint(1, 8)))
        assert _fits(_pack(word), _pack(have)) == (not Counter(word) - Counter(have)), (word, have)
