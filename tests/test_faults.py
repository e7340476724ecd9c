"""Faults the robustness checks found, kept as regression cases."""
import pytest

CHAINS = {
    # Each integrand captured by the scope of the next call, as its alpha_M and alpha_A.
    "integrands": """
box = []
lumafit.quad = lambda f, a, b: (box.append(f), (0.0, 0.0))[1]
link = 1e-4
for _ in range(DEPTH):
    box.clear()
    lumafit.integral_extinction_coefficient([1.0], link, link)
    link = box[0]
box.clear()
""",
    # Each fit model captured by the next call as its wavelength.
    "fit models": """
box = []
def curve_fit(f, x, y):
    box.append(f)
    raise RuntimeError("enough")
lumafit.curve_fit = curve_fit
link = 5.32e-7
for _ in range(DEPTH):
    box.clear()
    try:
        lumafit.rayleigh_fit(np.ones(3), np.array([8000.0, 9000.0, 9500.0]), link)
    except RuntimeError:
        pass
    link = box[0]
box.clear()
""",
    # Inner functions as each other's __module__.
    "__module__ attributes": """
box = []
lumafit.quad = lambda f, a, b: (box.append(f), (0.0, 0.0))[1]
for _ in range(DEPTH // 2):
    lumafit.integral_extinction_coefficient([1.0], 1.0, 1.0)
link = None
for f in box:
    f.__module__, link = link, f
del box[:], f
""",
}


@pytest.mark.parametrize("chain", CHAINS.values(), ids=CHAINS.keys())
def test_a_long_chain_of_inner_functions_is_released_without_overflowing_the_stack(python, chain):
    # Released one C frame per link, such a chain overflowed the stack: here the last
    # reference goes in a thread with a small stack.
    run = python("import threading\nimport numpy as np\nfrom Aerolume import lumafit\n"
                 "DEPTH = 50000\n" + chain + "kept = [link]\ndel link\n"
                 "threading.stack_size(256 << 10)\n"
                 "release = threading.Thread(target=kept.clear)\n"
                 "release.start(); release.join()\nprint('released')")
    assert run.returncode == 0 and run.stdout == "released\n", run.stderr[-2000:]
