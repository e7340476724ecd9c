"""Pre-processing and Rayleigh fitting for ground-based elastic-backscatter lidar.

The two extension modules are imported on their own, each with its own import
behaviour::

    import Aerolume.lumaclean   # raw profile -> corrected signal
    import Aerolume.lumafit     # molecular physics and the Rayleigh fit
"""
from ._checkout import use_built_modules as _use_built_modules

# Imported from a clone of the sources (no built modules here), the package is the
# installed copy: see Aerolume/_checkout.py.
_use_built_modules(__name__, __path__)
del _use_built_modules

__all__ = ["lumaclean", "lumafit"]
