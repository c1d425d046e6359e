"""The web page in a real browser: Debian's chromium, headless, driven by
Selenium through Debian's chromedriver (given by path, so nothing is ever
downloaded). One server and one browser for the whole file.

WEB_SCREENSHOT=docs/web.png makes the first test save the README's picture."""

import os
import shutil
import time

import pytest

from cli_run import run
from conftest import sanitizer_loaded
from web_run import Server, web_stack_missing

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
SLOW = "the quick brown fox jumps over the lazy dog"  # its search runs to the time limit

webdriver = None if web_stack_missing() else pytest.importorskip(
    "selenium.webdriver", reason="selenium is not installed (pip install selenium==4.51.0)")
pytestmark = [
    pytest.mark.skipif(
        bool(web_stack_missing()) or not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)),
        reason="needs the web stack, chromium and chromium-driver (./run-tests installs them)"),
    # Chromium under the preloaded sanitizer runtime, and nothing native to check.
    pytest.mark.skipif(sanitizer_loaded(), reason="not run under AddressSanitizer"),
]


def new_browser():
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    os.environ["SE_OFFLINE"] = "true"  # Selenium's own manager must fetch nothing
    options = Options()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1280,860", "--no-first-run", "--disable-extensions"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)


@pytest.fixture(scope="module")
def server():
    s = Server("--timeout", "1.5")
    yield s
    s.stop()


@pytest.fixture(scope="module")
def browser(server):
    driver = new_browser()
    yield driver
    driver.quit()


@pytest.fixture
def page(browser, server):
    browser.get(server.url + "/")
    return browser


def wait(driver, condition, seconds=15):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, seconds, poll_frequency=0.02).until(lambda d: condition())


def by_id(driver, name):
    return driver.find_element("id", name)


def rows(driver):
    return [li.text.rsplit("\n", 1)[0] for li in driver.find_elements("css selector", "#results li")]


def row_words(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#results li')].map(li => li.firstChild.textContent)")


def type_phrase(driver, text):
    box = by_id(driver, "phrase")
    box.clear()
    box.send_keys(text)


def settled(driver):
    return driver.find_element("tag name", "body").get_attribute("data-state") == "done"


def command_lines(*args):
    return run(*args).stdout.splitlines()


def test_typing_shows_the_count_and_the_best_anagrams(page, server):
    type_phrase(page, "Clint Eastwood")
    wait(page, lambda: "anagrams" in by_id(page, "count").text and settled(page))
    count = int(run("Clint Eastwood", "--count").stdout)
    assert by_id(page, "count").text == f"{count:,} anagrams"
    best = command_lines("Clint Eastwood", "--best", "100")
    assert row_words(page) == best
    # Scrolling to the end asks for the next hundred.
    page.execute_script("document.getElementById('more-line').scrollIntoView()")
    wait(page, lambda: len(row_words(page)) == 200 and settled(page))
    assert row_words(page) == command_lines("Clint Eastwood", "--best", "200")
    by_id(page, "candidate").send_keys("old west action")
    wait(page, lambda: "Yes" in by_id(page, "verdict").text)
    shot = os.environ.get("WEB_SCREENSHOT")
    if shot:
        page.execute_script("window.scrollTo(0, 0)")
        page.save_screenshot(shot)


def test_a_constraint_changes_count_and_anagrams(page):
    type_phrase(page, "Clint Eastwood")
    wait(page, lambda: "anagrams" in by_id(page, "count").text and settled(page))
    by_id(page, "constraints").click()
    by_id(page, "max_words").send_keys("2")
    expected = command_lines("Clint Eastwood", "--max-words", "2", "--best", "100")
    wait(page, lambda: row_words(page) == expected and settled(page))
    assert by_id(page, "count").text == f"{len(expected)} anagrams"
    by_id(page, "not_start").send_keys("abcdefghijklmnopqrstuvwxyz")
    wait(page, lambda: "No anagrams found with these constraints" in by_id(page, "message").text)
    assert rows(page) == []


def test_typing_again_mid_search_cancels_the_old_one(page, server):
    before = server.get("/api/status")[1]
    type_phrase(page, SLOW)
    wait(page, lambda: server.get("/api/status")[1]["search"] == 1)
    assert rows(page) == []
    type_phrase(page, "dormitory")
    expected = command_lines("dormitory", "--best", "100")
    wait(page, lambda: row_words(page) == expected and settled(page))
    assert server.wait_idle()
    after = server.get("/api/status")[1]
    # Every search typed was either superseded or cut short by the page
    # going on: none of the slow phrase's prefixes ran to its end.
    assert after["running"] == 0 and after["started"] > before["started"]
    assert "time" not in by_id(page, "message").text


def test_keeping_a_word_moves_the_tiles_and_the_results(page):
    type_phrase(page, "Dormitory")
    wait(page, lambda: page.find_elements("css selector", "#words button[data-key=dirty]")
         and settled(page))
    assert len(page.find_elements("css selector", ".tile")) == 9
    page.find_element("css selector", "#words button[data-key=dirty]").click()
    wait(page, lambda: by_id(page, "kept").text == "dirty" and settled(page)
         and len(page.find_elements("css selector", ".tile.used")) == 5)
    unused = "".join(t.text.lower() for t in page.find_elements("css selector", ".tile:not(.used)"))
    assert sorted(unused) == sorted("moor")
    keys = [b.get_attribute("data-key") for b in page.find_elements("css selector", "#words button")]
    assert sorted(keys) == sorted(command_lines("dormitory", "--used", "dirty", "--words"))
    wait(page, lambda: row_words(page) == command_lines("dormitory", "--include", "dirty", "--best", "100"))
    by_id(page, "undo").click()
    expected = command_lines("dormitory", "--best", "100")
    wait(page, lambda: not page.find_elements("css selector", ".tile.used") and settled(page)
         and row_words(page) == expected)


def test_a_candidate_is_tested_against_the_phrase(page):
    type_phrase(page, "Dormitory")
    box = by_id(page, "candidate")
    box.send_keys("dirty room")
    wait(page, lambda: "Yes" in by_id(page, "verdict").text)
    box.clear()
    box.send_keys("dirt moor zz")
    wait(page, lambda: "Left over from the phrase: y" in by_id(page, "verdict").text)
    text = by_id(page, "verdict").text
    assert "Not in the phrase: zz" in text and "Not in the word list: zz" in text


def test_closing_a_tab_mid_search_ends_its_search(browser, server):
    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    browser.get(server.url + "/")
    type_phrase(browser, SLOW)
    wait(browser, lambda: server.get("/api/status")[1]["search"] == 1)
    browser.close()
    browser.switch_to.window(first)
    assert server.wait_idle()
    # The server goes on serving the other tab.
    browser.get(server.url + "/")
    type_phrase(browser, "listen")
    wait(browser, lambda: "listen" in row_words(browser) or "enlist" in row_words(browser))


def test_text_from_the_server_is_never_markup(page):
    page.execute_script("window.hit = 0")
    box = by_id(page, "candidate")
    type_phrase(page, "dormitory")
    box.send_keys("<img src=x onerror='window.hit=1'> room")
    wait(page, lambda: "Not in the word list" in by_id(page, "verdict").text)
    time.sleep(0.1)
    assert page.execute_script("return window.hit") == 0
    assert not page.find_elements("css selector", "#verdict img")
