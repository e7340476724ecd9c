"""The built modules export one symbol each, depend only on the C runtime and GCC's
unwinder, and need no newer glibc than the floor the README states."""
import importlib.util
import os
import re
import shutil
import subprocess

import pytest

# A sanitized build links the sanitizer runtimes and exports their hooks.
pytestmark = pytest.mark.skipif(os.environ.get("AEROLUME_SANITIZED") == "1",
                                reason="the sanitized build is linked differently")

MODULES = ["lumafit", "lumaclean", "_core"]
# What the C runtime consists of on a glibc system, with GCC's unwinder (libgcc_s),
# which every such system has.
C_RUNTIME = re.compile(r"^(linux-vdso|linux-gate|ld-linux[-\w.]*|libc|libm|libgcc_s)\.so")
# The newest glibc whose symbols the modules may use: the wheel's manylinux_2_34 tag.
GLIBC_FLOOR = (2, 34)


def library(name):
    return importlib.util.find_spec(f"Aerolume.{name}").origin


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("name", MODULES)
def test_exports_only_its_entry_point(name):
    out = subprocess.run(["nm", "-D", "--defined-only", library(name)], check=True,
                         capture_output=True, text=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == [f"PyInit_{name}"]


@pytest.mark.skipif(shutil.which("ldd") is None, reason="needs ldd")
@pytest.mark.parametrize("name", MODULES)
def test_links_only_the_c_runtime(name):
    out = subprocess.run(["ldd", library(name)], check=True, capture_output=True,
                         text=True).stdout
    needed = [line.split()[0].rsplit("/", 1)[-1] for line in out.splitlines() if line.strip()]
    assert needed and all(C_RUNTIME.match(lib) for lib in needed), needed


@pytest.mark.skipif(shutil.which("objdump") is None, reason="needs objdump")
@pytest.mark.parametrize("name", MODULES)
def test_needs_no_newer_glibc_than_the_floor(name):
    out = subprocess.run(["objdump", "-T", library(name)], check=True, capture_output=True,
                         text=True).stdout
    versions = {tuple(map(int, v.split("."))) for v in re.findall(r"\bGLIBC_([\d.]+)", out)}
    assert versions and max(versions) <= GLIBC_FLOOR, sorted(versions)
