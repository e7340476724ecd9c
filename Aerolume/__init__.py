"""Pre-processing and Rayleigh fitting for ground-based elastic-backscatter lidar.

The two extension modules are imported on their own, each with its own import
behaviour::

    import Aerolume.lumaclean   # raw profile -> corrected signal
    import Aerolume.lumafit     # molecular physics and the Rayleigh fit
"""

__all__ = ["lumaclean", "lumafit"]
