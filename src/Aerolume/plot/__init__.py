"""Figures of processed files.

- :func:`quicklook`: the night at a glance, one PNG (:mod:`Aerolume.plot.quicklooks`).

matplotlib is an optional dependency (``pip install 'Aerolume[plot]'``); it is imported
only when a figure is drawn.
"""

from Aerolume.plot.quicklooks import quicklook

__all__ = ["quicklook"]
