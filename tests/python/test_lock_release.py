"""The calling machinery's path for methods that compute without the
interpreter lock, through the test-only module core_test_hooks, whose copy of
Solver has such a method, `probe`."""

import threading
import time

import pytest

hooks = pytest.importorskip("core_test_hooks")


def test_compute_runs_without_the_lock_and_under_the_borrow():
    s = hooks.Solver()
    assert s.probe("held") is False
    # Another thread runs while probe computes: it meets the shared borrow
    # (so a dictionary method is refused, a second probe is not) and then
    # lets probe finish. Were the lock held, probe would wait in vain.
    seen = []

    def other():
        while not hooks.waiting():
            time.sleep(0.001)
        try:
            s.add_word("cat")
        except RuntimeError as e:
            seen.append(str(e))
        seen.append(s.probe("held"))
        hooks.signal()

    thread = threading.Thread(target=other)
    thread.start()
    assert s.probe("wait") is True
    thread.join()
    assert seen == ["Already borrowed", False]
    s.add_word("cat")  # the borrow is gone
    assert s.solve("act") == [["cat"]]


def test_exceptions_in_compute_come_back_with_the_lock_held(capfd):
    s = hooks.Solver()
    with pytest.raises(MemoryError):
        s.probe("no_memory")
    with pytest.raises(BaseException) as info:
        s.probe("boom")
    assert not isinstance(info.value, Exception)
    assert info.value.args == ("probe failure: boom",)
    assert "internal failure in Solver.probe()" in capfd.readouterr().err
    # The borrow was released on the way out and the instance is usable.
    s.load_dictionary_from_words(["ab", "a", "b"])
    assert s.solve("ab") == [["ab"], ["a", "b"]]
    # Arguments are still bound and converted before the lock is given up.
    with pytest.raises(TypeError, match=r"^argument 'action': 'int' object cannot be converted to 'PyString'$"):
        s.probe(5)
    with pytest.raises(TypeError, match=r"^Solver.probe\(\) missing 1 required positional argument: 'action'$"):
        s.probe()
