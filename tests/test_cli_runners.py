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


def test_a_dask_run_keeps_a_bounded_window_in_flight_and_lets_every_result_go():
    # However many units a run has, the cluster holds a few at a time and the caller keeps
    # no future once its result is in: the caller's memory does not grow with the units.
    pytest.importorskip("distributed")
    from Aerolume.processing import runners

    def scaled(item, scale, *, stopwatch):
        # (local, so that it travels by value: the workers cannot import this module)
        import warnings
        if item == 2:
            warnings.warn(f"item {item} is even", RuntimeWarning, stacklevel=2)
        return item * scale

    with runners.OnDask(workers=1) as dask:
        client = dask.client
        submit, live = client.submit, []

        def counting_submit(*args, **kwargs):
            live.append(sum(not f.done() for f in client.futures.values()))
            return submit(*args, **kwargs)

        client.submit = counting_submit
        items = list(range(25))
        ticks = []
        with pytest.warns(RuntimeWarning, match="item 2 is even"):
            results = dask.map(scaled, items, 10, progress=ticks.append)
        assert [r.value for r in results] == [i * 10 for i in items]
        assert sorted(ticks) == items
        assert len(live) == len(items)
        assert max(live) < runners.IN_FLIGHT_PER_WORKER
        assert not client.futures


def test_results_are_consumed_in_order_as_they_come_and_let_go():
    consumed = []
    with pytest.warns(RuntimeWarning, match="item 2 is even"):
        results = InProcess().map(work, [1, 2, 3], 10, consume=consumed.append)
    assert consumed == [10, 20, 30] and [r.value for r in results] == [None] * 3
    pytest.importorskip("distributed")
    from Aerolume.processing import runners

    def late_first(item, *, stopwatch):
        import time
        time.sleep(1.0 if item == 0 else 0.01)  # (the first ends after the others)
        return item

    with runners.OnDask(workers=2) as dask:
        seen, ends = [], []
        submit = dask.client.submit

        def counting_submit(*args, **kwargs):
            ends.append(len(seen))
            return submit(*args, **kwargs)

        dask.client.submit = counting_submit
        items = list(range(20))
        results = dask.map(late_first, items, consume=seen.append)
    assert seen == items
    assert all(r.value is None for r in results)
    # Results ending before the first wait for it within the window, not beyond it.
    window = runners.IN_FLIGHT_PER_WORKER * 2
    assert ends[:window] == [0] * window and len(ends) == len(items)
    assert ends[window] > 0  # (submitted only once the first was consumed)
