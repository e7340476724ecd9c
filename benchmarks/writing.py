"""Writing a product: zstd level 1 (the default) against zlib level 4 (the default before)
and no compression, interleaved in one process on the same product.

The product is made once from N time-shifted copies of the sample raw files (default
1,000, with examples/station.toml).  For each compression: the median time of the netCDF
write alone and of the whole writing stage (``pipeline.write``: with the raw files'
digests), the file size, and whether every variable reads back bit for bit; and the
same product written block by block as ``aerolume process`` writes it
(``io.netcdf.BlockWriter``, blocks of ``--block-profiles`` profiles): its time and size.

    python benchmarks/writing.py [--copies 1000] [--repeat 5] [--config FILE]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import tempfile
import time
import warnings

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if pathlib.Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

from cli import make_copies  # noqa: E402

SHARED = HERE.parent.parent / "shared" / "data" / "licel"
STATION = HERE.parent / "examples" / "station.toml"
CASES = {"zstd 1": 'compression = "zstd"\nlevel = 1', "zlib 4": 'compression = "zlib"\nlevel = 4',
         "none": 'compression = "none"'}


def lossless(path, dataset) -> bool:
    import numpy as np
    import xarray as xr

    with xr.open_dataset(path) as back:
        return all(np.array_equal(np.asarray(v.values), back[k].values,
                                  equal_nan=v.dtype.kind == "f")
                   for k, v in dataset.data_vars.items())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--copies", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--config", type=pathlib.Path, default=STATION)
    parser.add_argument("--block-profiles", type=int, default=50,
                        help="profiles a block of the block-by-block writing (default 50: "
                        "the 100 raw files of a block of station.toml, 2-minute means)")
    parser.add_argument("--data", type=pathlib.Path,
                        default=SHARED if SHARED.is_dir() else HERE.parent / "examples" /
                        "data" / "licel")
    args = parser.parse_args()

    from Aerolume.processing import pipeline
    from Aerolume.processing.config import load_config
    from Aerolume.io import to_netcdf
    from Aerolume.io.netcdf import BlockWriter

    sources = sorted(args.data.glob("RM*"))
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        (tmp / "raw").mkdir()
        files = make_copies(sources, tmp / "raw", args.copies)
        base = args.config.read_text().split("[output]")[0]
        configs = {}
        for name, output in CASES.items():
            path = tmp / f"{name.replace(' ', '')}.toml"
            path.write_text(f"{base}\n[output]\n{output}\n")
            configs[name] = load_config(path)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = pipeline.process(files, configs["zstd 1"])
        ds = result.dataset
        print(f"== writing the product of {len(files)} raw files ({ds.nbytes / 1e6:.0f} MB in "
              f"memory, {dict(ds.sizes)}), {args.repeat} interleaved rounds, medians")
        for cfg in configs.values():  # (the first write loads the filters)
            pipeline.write(result, tmp / "warm.nc", cfg)
        alone = {n: [] for n in CASES}
        whole = {n: [] for n in CASES}
        blocks = {n: [] for n in CASES}
        step = args.block_profiles
        for _ in range(args.repeat):
            for name, cfg in configs.items():
                out = tmp / f"{name.replace(' ', '')}.nc"
                encoding = pipeline.compression_encoding(ds, cfg)
                start = time.perf_counter()
                to_netcdf(ds, out, encoding=encoding)
                alone[name].append(time.perf_counter() - start)
                start = time.perf_counter()
                pipeline.write(result, out, cfg)
                whole[name].append(time.perf_counter() - start)
                start = time.perf_counter()
                writer = BlockWriter(tmp / f"blocks-{out.name}",
                                     encoding=lambda b, cfg=cfg: pipeline.compression_encoding(b, cfg))
                for i in range(0, ds.sizes["time"], step):
                    writer.append(ds.isel(time=slice(i, i + step)))
                writer.close(ds.attrs)
                blocks[name].append(time.perf_counter() - start)
        sizes = {n: (tmp / f"{n.replace(' ', '')}.nc").stat().st_size for n in CASES}
        for name in CASES:
            out = tmp / f"{name.replace(' ', '')}.nc"
            streamed = tmp / f"blocks-{out.name}"
            print(f"{name:7s} netCDF write {statistics.median(alone[name]):6.2f} s, "
                  f"writing stage {statistics.median(whole[name]):6.2f} s, "
                  f"{sizes[name] / 1e6:7.2f} MB, lossless: {lossless(out, ds)}; block by "
                  f"block {statistics.median(blocks[name]):6.2f} s, "
                  f"{streamed.stat().st_size / 1e6:7.2f} MB, lossless: "
                  f"{lossless(streamed, ds)}")
        a, w = (statistics.median(alone["zlib 4"]) / statistics.median(alone["zstd 1"]),
                statistics.median(whole["zlib 4"]) / statistics.median(whole["zstd 1"]))
        print(f"zstd 1 against zlib 4: {a:.2f}x faster (netCDF write), {w:.2f}x faster "
              f"(writing stage), size {sizes['zstd 1'] / sizes['zlib 4']:.3f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
