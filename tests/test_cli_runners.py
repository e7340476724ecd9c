"""The progress bar and the in-process runner (the Dask runner is tested end to end in
test_cli.py, on a local cluster)."""

import io
import sys
import warnings

import pytest

from Aerolume.cli.progress import Progress
from Aerolume.processing.runners import InProcess, MissingDependency, runner


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_is_drawn_on_a_terminal_only():
    screen = Terminal()
    with Progress(3, "processing", "blocks", stream=screen, interval=0.0) as bar:
        for _ in range(3):
            bar.advance()
    text = screen.getvalue()
    states = text.split("\r")[1:]
    assert states[0].startswith("processing   0% [") and "0/3 blocks" in states[0]
    assert "3/3 blocks" in states[-1] and "100%" in states[-1]
    assert text.endswith("\n") and text.count("\n") == 1
    # Never wider than the terminal, whatever the label.
    assert all(len(s.rstrip("\n")) < 80 for s in states)

    for stream, enabled in ((io.StringIO(), True), (Terminal(), False)):
        with Progress(3, "processing", stream=stream, enabled=enabled) as bar:
            bar.advance(3)
        assert stream.getvalue() == ""


def test_progress_counts_never_pass_the_total():
    bar = Progress(2, "x", stream=Terminal(), interval=0.0)
    bar.advance(5)
    assert bar.done == 2 and "2/2" in bar.line()


def work(item, scale, *, stopwatch):
    stopwatch.stage("multiplying")
    if item == 2:
        warnings.warn(f"item {item} is even", RuntimeWarning, stacklevel=2)
    stopwatch.stage(None)
    return item * scale


def test_in_process_runner_keeps_order_warnings_and_times():
    ticks = []
    with pytest.warns(RuntimeWarning, match="item 2 is even"):
        results = InProcess().map(work, [1, 2, 3], 10, progress=ticks.append)
    assert [r.value for r in results] == [10, 20, 30]
    assert ticks == [1, 2, 3]
    assert results[1].warnings == [(RuntimeWarning, "item 2 is even")]
    assert set(results[0].seconds) == {"multiplying", "total"}


def test_without_dask_the_message_says_how_to_install(monkeypatch):
    assert isinstance(runner(), InProcess)
    monkeypatch.setitem(sys.modules, "distributed", None)  # import fails
    with pytest.raises(MissingDependency, match=r"pip install 'Aerolume\[distributed\]'"):
        runner(workers=2)


def test_without_matplotlib_the_quicklook_says_how_to_install(monkeypatch, tmp_path):
    from Aerolume.plot import quicklook

    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.backends.backend_agg", None)
    with pytest.raises(MissingDependency, match=r"pip install 'Aerolume\[plot\]'"):
        quicklook(tmp_path / "in.nc", tmp_path / "out.png")
