"""From a lidar's raw files to calibrated aerosol products.

The toolkit's modules, on the numerical core ``Aerolume._core``::

    import Aerolume.atmosphere    # molecular atmosphere and Rayleigh optics
    import Aerolume.io            # raw files in (Licel, PollyXT, ceilometers), netCDF out
    import Aerolume.metadata      # the CF attributes of every written variable
    import Aerolume.preprocess    # instrument corrections
    import Aerolume.retrieval     # Klett-Fernald and Raman retrievals
    import Aerolume.uncertainty   # Monte Carlo settings of the retrievals
    import Aerolume.simulate      # the forward model
    import Aerolume.depolarization  # polarisation: calibration, delta_v and delta_p

and the command ``aerolume`` (``Aerolume.cli``).  The two hand-written extension modules
are imported on their own, each with its own import behaviour::

    import Aerolume.lumaclean   # raw profile -> corrected signal
    import Aerolume.lumafit     # molecular physics and the Rayleigh fit
"""


__all__ = ["lumaclean", "lumafit"]
