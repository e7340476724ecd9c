"""The engine of ``aerolume process``: the configuration, the plan of a night, one block
of it, its products, and the runners that do the blocks.

- :mod:`Aerolume.processing.config`: the TOML configuration, checked field by field;
- :mod:`Aerolume.processing.pipeline`: raw files to one product Dataset, block by block;
- :mod:`Aerolume.processing.products`: the retrieved products of one block;
- :mod:`Aerolume.processing.runners`: where the blocks run (this process, or Dask).
"""
