"""Time from the last keystroke to the first anagram on the web page, in
headless Chromium (Debian's chromium and chromium-driver, with selenium).

    PYTHONPATH=build python3 bench/bench_web.py [runs]

Starts `anagrams --serve`, then for each phrase types it whole into the page
(one input event, as a paste) a number of times and prints the median and
worst time from that event to the first anagram's row in the page, as the
page itself measures them (performance.now()), and the server's share: the
same request's first row read off the server by a plain HTTP client. The
page waits DEBOUNCE_MS (app.js) after a keystroke before asking."""

import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))

from web_run import Server  # noqa: E402
from test_web_browser import new_browser  # noqa: E402

PHRASES = ["clint eastwood", "anagram solver engine"]
PASTE = """
const box = document.getElementById('phrase');
box.value = arguments[0];
box.dispatchEvent(new Event('input', {bubbles: true}));
"""


def page_ms(driver, phrase):
    driver.execute_script(PASTE, "")
    time.sleep(0.15)
    driver.execute_script(PASTE, phrase)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        t = driver.execute_script("return window.anagramTiming")
        if t["first"]:
            return t["first"] - t["typed"]
        time.sleep(0.005)
    raise RuntimeError(f"no anagram on the page for {phrase!r}")


def server_ms(server, phrase):
    started = time.perf_counter()
    conn, response, lines = server.stream(phrase=phrase, limit=100)
    try:
        for line in lines:
            if line["type"] == "rows":
                return (time.perf_counter() - started) * 1000
    finally:
        conn.close()
    raise RuntimeError("no rows")


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    server = Server()
    driver = new_browser()
    try:
        driver.get(server.url + "/")
        for phrase in PHRASES:  # warm up: the first request imports and builds tables
            page_ms(driver, phrase)
        print(f"keystroke to first anagram on the page, headless Chromium, {runs} runs "
              f"({os.cpu_count()} cores)")
        print(f"{'phrase':<24} {'page median':>12} {'page worst':>11} {'server median':>14}")
        for phrase in PHRASES:
            page = [page_ms(driver, phrase) for _ in range(runs)]
            alone = [server_ms(server, phrase) for _ in range(runs)]
            print(f"{phrase:<24} {statistics.median(page):>9.1f} ms {max(page):>8.1f} ms "
                  f"{statistics.median(alone):>11.1f} ms")
        print("goal: under 100 ms on the page")
    finally:
        driver.quit()
        server.stop()


if __name__ == "__main__":
    main()
