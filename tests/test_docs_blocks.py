"""Every code block of README.md and of docs/ runs as a user pastes it, so that none can
go stale.

- ```python blocks: each runs on its own in a fresh interpreter of this environment, from
  the repository's root, as after ``bash scripts/setup.sh`` (the package imported from
  the clone's root takes itself from the installed copy).
- ```console blocks: every ``$ aerolume ...`` or ``$ .venv/bin/aerolume ...`` line runs
  with this environment's command, from the root, in order (and ``$ mkdir`` lines
  before them); the other commands (pip,
  the set-up script, the test suite, benchmarks, examples, which other tests and the docs
  build run) are not run here, but every file of the repository they name must exist.
- A block preceded by the line ``<!-- docs-test: skip (reason) -->`` is not run; there
  are few, each with its reason.

``output/`` and ``output/night.nc``, which ``scripts/setup.sh`` makes, are made first
where missing.  A block that reads ``../shared/data/licel`` (the whole sample night, beside
the clone on the development machine and in CI) is skipped where that folder is missing.
"""

from __future__ import annotations

import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

SKIP = re.compile(r"<!--\s*docs-test:\s*skip\b")
FENCE = re.compile(r"^(`{3,})\s*([\w{}-]*)")
BIN = pathlib.Path(sys.executable).parent
# A command line's words that name a file of the repository.
REPO_PATH = re.compile(r"^(examples|scripts|benchmarks|tests|docs|src|native)/")


def documents() -> list[pathlib.Path]:
    docs = ROOT / "docs"
    pages = [p for p in sorted(docs.rglob("*.md"))
             if not {"generated", "_build"} & set(p.relative_to(docs).parts)]
    return [ROOT / "README.md", *pages]


def blocks(path: pathlib.Path):
    """(language, first line number, text, skipped) of each fenced block of `path`."""
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            i += 1
            continue
        fence, language = match.groups()
        previous = next((lines[k] for k in range(i - 1, -1, -1) if lines[k].strip()), "")
        j = i + 1
        while j < len(lines) and not lines[j].startswith(fence):
            j += 1
        yield language, i + 1, "\n".join(lines[i + 1:j]) + "\n", bool(SKIP.search(previous))
        i = j + 1


def cases(language: str):
    found = []
    for path in documents():
        for lang, line, text, skipped in blocks(path):
            if lang == language:
                mark = [pytest.mark.skip(reason="marked docs-test: skip")] if skipped else []
                found.append(pytest.param(text, id=f"{path.relative_to(ROOT)}:{line}",
                                          marks=mark))
    return found


def needs_shared_data(text: str) -> None:
    """Skips a block that reads the shared sample night where this clone has none beside it
    (CI and the development machine have it)."""
    if "../shared/" in text and not (ROOT.parent / "shared" / "data" / "licel").is_dir():
        pytest.skip("../shared/data/licel is not beside this clone")


def environment() -> dict:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["MPLBACKEND"] = "Agg"
    env["PATH"] = f"{BIN}{os.pathsep}{env.get('PATH', '')}"
    return env


@pytest.fixture(scope="module")
def main_job_output():
    """output/ and the main job's output/night.nc, as scripts/setup.sh leaves them."""
    (ROOT / "output").mkdir(exist_ok=True)
    night = ROOT / "output" / "night.nc"
    if not night.exists():
        done = subprocess.run(
            f"{shlex.quote(str(BIN / 'aerolume'))} process examples/data/licel/RM* "
            "--config examples/station.toml -o output/night.nc --quiet",
            shell=True, cwd=ROOT, env=environment(), capture_output=True, text=True,
            timeout=300)
        assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("code", cases("python"))
def test_python_block_runs(code, main_job_output):
    needs_shared_data(code)
    done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=environment(),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-4000:]


def commands(text: str) -> list[str]:
    """The command lines of a console block (``$ `` lines; output lines are left out)."""
    return [line[2:] for line in text.splitlines() if line.startswith("$ ")]


def is_run(command: str) -> bool:
    """Whether a console line is run: the command's own lines, and folders made for it."""
    word = command.split(maxsplit=1)[0]
    return word in ("aerolume", ".venv/bin/aerolume", "mkdir")


@pytest.mark.parametrize("text", cases("console"))
def test_console_block(text, main_job_output):
    lines = commands(text)
    assert lines, "a console block without a $ command line"
    needs_shared_data(text)
    for command in lines:
        for word in shlex.split(command, comments=True):
            if REPO_PATH.match(word) and not any(ROOT.glob(word.rstrip("/"))):
                if not word.startswith(("output/", "docs/_build")):
                    pytest.fail(f"{command!r} names {word}, which does not exist")
    run = [re.sub(r"^(\.venv/bin/)?aerolume\b", shlex.quote(str(BIN / "aerolume")), c)
           for c in lines if is_run(c)]
    if not run:
        return
    script = "set -euo pipefail\n" + "\n".join(run) + "\n"
    done = subprocess.run(["bash", "-c", script], cwd=ROOT, env=environment(),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-4000:]


def test_readme_stays_short():
    assert len((ROOT / "README.md").read_text(encoding="utf-8").splitlines()) <= 200


def test_the_documents_have_blocks_to_run():
    # The extraction itself: a change of fence syntax must not make every test vanish.
    assert len(cases("python")) >= 5 and len(cases("console")) >= 8
