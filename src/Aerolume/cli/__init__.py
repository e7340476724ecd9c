"""The ``aerolume`` command: raw lidar files to products and quicklooks.

::

    aerolume info FILES...                          what the raw files hold
    aerolume process FILES... -o OUT.nc [--config station.toml] [--workers N | --scheduler ADDRESS]
    aerolume process FOLDERS... --split night -o FOLDER [--overwrite]   one file per night
    aerolume quicklook OUT.nc -o PLOT.png           time-height image and profile
    aerolume export FILES... --format scc -o OUT.nc the network's raw-data format
    aerolume config                                 every configuration field, documented

Bad input (a missing or unreadable file, a corrupt raw file, a wrong configuration
field) ends the command with one line on standard error naming the file and the problem,
and exit status 1; usage errors give status 2.  ``--debug`` shows the traceback instead.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import os
import pathlib
import sys
import warnings
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, TextIO

__all__ = ["main"]

PROG = "aerolume"


from Aerolume.errors import CommandError  # noqa: E402 (re-exported)

if TYPE_CHECKING:
    import xarray as xr


def _version() -> str:
    from importlib import metadata
    try:
        return metadata.version("Aerolume")
    except metadata.PackageNotFoundError:  # pragma: no cover - running from a source tree
        return "unknown"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="From raw lidar files to corrected signals, aerosol "
        "products with uncertainties, and quicklooks.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    parser.add_argument("--debug", action="store_true",
                        help="show the full traceback of an error")
    # Accepted after the command too (`aerolume process ... --debug`).
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="show the full traceback of an error")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, **kw: Any) -> argparse.ArgumentParser:
        return commands.add_parser(name, parents=[common], **kw)

    info = command("info", help="what raw files hold: site, period, channels",
                               description="Summarises raw files on one screen: site, "
                               "period, and each channel's wavelength, detection mode, bins, "
                               "bin width and laser shots.")
    info.add_argument("files", nargs="+", metavar="FILES", help="raw files (or glob patterns)")

    process = command(
        "process", help="raw files to one netCDF file of signals and products",
        description="Reads raw files, applies the instrument corrections, computes the "
        "molecular atmosphere, retrieves aerosol backscatter and extinction with their "
        "uncertainties, and writes everything with its provenance to one netCDF file.")
    process.add_argument("files", nargs="+", metavar="FILES",
                         help="raw files (or glob patterns); with --split also folders, "
                         "searched with their sub-folders")
    process.add_argument("-o", "--output", required=True, metavar="OUT.nc",
                         help="the netCDF file to write (replaced if it exists); with "
                         "--split the folder the products are written in")
    process.add_argument("-c", "--config", metavar="FILE",
                         help="TOML configuration (see `aerolume config`); defaults otherwise")
    where = process.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_positive_int, metavar="N",
                       help="run on a local Dask cluster of N worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the existing Dask cluster whose scheduler is at ADDRESS")
    process.add_argument("--source-root", metavar="FOLDER",
                         help="write the raw files' and the configuration's paths relative "
                         "to this folder (default: the common folder of the raw files)")
    process.add_argument("--split", choices=["night", "day"],
                         help="one product per night (local solar noon to noon, named "
                         "after its evening) or per UTC day, <site>_<YYYYMMDD>_aerolume.nc "
                         "in the folder -o, each made and written by the worker that runs "
                         "it; nights whose product is newer than their raw files and the "
                         "configuration are skipped")
    process.add_argument("--overwrite", action="store_true",
                         help="with --split: process every night, even those up to date")
    process.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    process.add_argument("--profile", action="store_true",
                         help="print the time spent in reading, corrections, molecular "
                         "atmosphere, retrievals and writing")

    quicklook = command(
        "quicklook", help="a PNG of the range-corrected signal and the retrieved profile",
        description="Draws one time-height panel of the range-corrected signal per elastic "
        "channel and a profile panel of the retrieved backscatter with its uncertainty.")
    quicklook.add_argument("product", metavar="OUT.nc", help="a file written by `aerolume process`")
    quicklook.add_argument("-o", "--output", required=True, metavar="PLOT.png",
                           help="the image to write")
    quicklook.add_argument("--max-range", type=_positive_float, default=15.0, metavar="KM",
                           help="top of the panels along the beam, km (default 15)")
    quicklook.add_argument("--channels", metavar="IDS",
                           help="comma-separated channels to draw as time-height panels "
                           "(default: the retrieved elastic channels, else one elastic "
                           "channel per wavelength)")

    export = command(
        "export", help="raw files to a network's file format",
        description="Writes raw files or a product in another format: `scc`, raw files as "
        "the raw-data netCDF input of the EARLINET/ACTRIS Single Calculus Chain; "
        "`earlinet`, a product of `aerolume process` as the data centre's product files "
        "(one per product and wavelength, in the folder OUT).")
    export.add_argument("files", nargs="+", metavar="FILES",
                        help="raw files (or glob patterns); for earlinet one product file")
    export.add_argument("--format", required=True, choices=["scc", "earlinet"],
                        help="the format to write")
    export.add_argument("-o", "--output", required=True, metavar="OUT",
                        help="scc: the file to write (replaced if it exists); earlinet: the "
                        "folder to write in")
    export.add_argument("-c", "--config", metavar="FILE",
                        help="earlinet: the TOML configuration whose [station] table names "
                        "the station, PI and system; scc: whose [klett] lidar_ratio is the "
                        "default of --lidar-ratio-product")
    export.add_argument("--channel-id", action="append", default=[], metavar="CHANNEL=ID",
                        help="the SCC database id of a channel, e.g. 355_an=1234 (repeat; "
                        "channels without one are left out; none: all, numbered 1, 2, ...)")
    export.add_argument("--station-code", default="xx", metavar="CODE",
                        help="the station's EARLINET call sign (3 letters, or 2) in the "
                        "measurement id (default xx)")
    export.add_argument("--measurement-id", metavar="ID", help="the measurement id "
                        "(default: date, station code, start hour and minute)")
    export.add_argument("--sounding-file", metavar="NAME",
                        help="name of the SCC sounding file sent with it (else the standard "
                        "atmosphere)")
    export.add_argument("--overlap", action="append", default=[], metavar="[CHANNEL=]FILE",
                        help="scc: an overlap function (netCDF with 'overlap' on 'range', such "
                        "as an overlap estimate, or two columns: range m, overlap) written as "
                        "the SCC overlap file beside OUT, for every channel or for CHANNEL "
                        "(repeat)")
    export.add_argument("--overlap-file", metavar="NAME",
                        help="scc: name of the overlap file (default ov_<measurement id>.nc; "
                        "without --overlap only the name is written)")
    export.add_argument("--lidar-ratio-product", action="append", default=[],
                        metavar="ID[=SR]",
                        help="scc: an SCC product id whose lidar ratio is written as the SCC "
                        "lidar-ratio file beside OUT: SR, or the configuration's [klett] "
                        "lidar_ratio (-c) (repeat)")
    export.add_argument("--lidar-ratio-file", metavar="NAME",
                        help="scc: name of the lidar-ratio file (default lr_<measurement "
                        "id>.nc; without --lidar-ratio-product only the name is written)")

    command("config", help="print every configuration field with its default",
                        description="Prints a configuration file with every field at its "
                        "default value and a comment saying what it does.")
    return parser


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {value}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def _input_files(patterns: Sequence[str]) -> list[str]:
    """The raw files named on the command line, glob patterns expanded, each checked to be
    a readable file before any work starts."""
    from Aerolume.io.files import expand_patterns

    files = expand_patterns(patterns, lambda p: CommandError(f"{p}: no file matches"))
    seen = set()
    for name in files:
        path = pathlib.Path(name)
        if not path.exists():
            raise CommandError(f"{name}: no such file")
        if path.is_dir():
            raise CommandError(f"{name}: is a folder, not a raw file")
        if not path.is_file():  # a FIFO would hang the read, a device never end
            raise CommandError(f"{name}: not a regular file (a FIFO, device or socket)")
        if not os.access(path, os.R_OK):
            raise CommandError(f"{name}: permission denied")
        key = path.resolve()
        if key in seen:
            raise CommandError(f"{name}: named twice")
        seen.add(key)
    return files


def _output_path(name: str, inputs: Sequence[str] = ()) -> pathlib.Path:
    """The file to write, checked before any work: its folder exists and is writable, and
    it is none of the inputs (which writing it would destroy)."""
    path = pathlib.Path(name)
    for other in inputs:
        if path.exists() and path.resolve() == pathlib.Path(other).resolve():
            raise CommandError(f"{name}: is one of the input files; choose another output")
    folder = path.parent
    if not folder.is_dir():
        raise CommandError(f"{name}: folder {str(folder)!r} does not exist")
    if path.is_dir():
        raise CommandError(f"{name}: is a folder")
    if not os.access(folder, os.W_OK):
        raise CommandError(f"{name}: cannot write in {str(folder)!r}")
    return path


# ---- the commands -----------------------------------------------------------------------

def _info(args: argparse.Namespace) -> int:
    from Aerolume.cli import info as summary

    files = _input_files(args.files)
    sys.stdout.write(summary.describe(files))
    return 0


def _process(args: argparse.Namespace) -> int:
    from Aerolume.processing import config
    from Aerolume.processing import pipeline
    from Aerolume.cli import progress
    from Aerolume.processing import runners as scaleout

    if args.split is not None:
        return _process_nights(args)
    if args.overwrite:
        raise CommandError("--overwrite goes with --split (without it the output file is "
                           "always replaced)")
    cfg = config.load_config(args.config)
    files = _input_files(args.files)
    output = _output_path(args.output, inputs=files + ([args.config] if args.config else []))
    if args.source_root is not None and not pathlib.Path(args.source_root).is_dir():
        raise CommandError(f"{args.source_root}: --source-root is not a folder")

    def bar(total: int, label: str, unit: str) -> progress.Progress:
        return progress.Progress(total, label, unit, enabled=not args.quiet)

    pipeline.check_geometry(files, cfg)
    prepared = pipeline.prepare(files, cfg)  # a wrong setting fails before a cluster starts
    with _collector_frozen(), \
            scaleout.runner(workers=args.workers, scheduler=args.scheduler) as run:
        written = pipeline.process_into(files, prepared, output, runner=run, progress=bar,
                                        command=_command(args, files),
                                        source_root=args.source_root)
    if not args.quiet:
        sys.stdout.write(written.summary())
    if args.profile:
        sys.stderr.write(written.profile_report())
    return 0


def _process_nights(args: argparse.Namespace) -> int:
    """``--split``: one product per night, each written by the worker that makes it."""
    from Aerolume.processing import config
    from Aerolume.processing import nights
    from Aerolume.processing import pipeline
    from Aerolume.cli import progress
    from Aerolume.processing import runners as scaleout

    cfg = config.load_config(args.config)
    folders = [p for p in args.files if pathlib.Path(p).is_dir()]
    files = _input_files([p for p in args.files if p not in folders]) \
        if len(folders) < len(args.files) else []
    found = [f for folder in folders for f in nights.walk(folder)]
    out = pathlib.Path(args.output)
    if not out.is_dir():
        raise CommandError(f"{args.output}: with --split, -o names the folder the products "
                           "are written in; no such folder")
    if not os.access(out, os.W_OK):
        raise CommandError(f"{args.output}: cannot write in this folder")
    if args.source_root is not None and not pathlib.Path(args.source_root).is_dir():
        raise CommandError(f"{args.source_root}: --source-root is not a folder")
    planned = nights.plan_nights(files, out, args.split, errors=cfg["input"]["errors"],
                                 threads=cfg["processing"]["threads"], found=found)
    dependencies = [args.config] if args.config else []
    if cfg["atmosphere"]["sounding"] is not None:
        dependencies.append(str(cfg.resolve(cfg["atmosphere"]["sounding"])))
    todo = [n for n in planned if args.overwrite or not nights.up_to_date(n, dependencies)]
    if todo:
        # A wrong setting fails on the first night, here, before a cluster starts.
        first = list(todo[0].files)
        pipeline.check_geometry(first, cfg)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # (its night's task says them)
            pipeline.prepare(first, cfg)
        runner = scaleout.runner(workers=args.workers, scheduler=args.scheduler)
    else:
        runner = scaleout.InProcess()

    def bar(total: int, label: str, unit: str) -> progress.Progress:
        return progress.Progress(total, label, unit, enabled=not args.quiet)

    with _collector_frozen(), runner as run:
        summary = nights.run_nights(planned, cfg, runner=run, overwrite=args.overwrite,
                                    progress=bar, command=_command(args, None),
                                    source_root=args.source_root, dependencies=dependencies)
    if not args.quiet:
        sys.stdout.write(summary.report())
    if args.profile:
        sys.stderr.write(summary.profile_report())
    return 0


@contextlib.contextmanager
def _collector_frozen() -> Iterator[None]:
    """What the command holds when its run begins (the modules it has loaded, the prepared
    settings) left out of the cyclic garbage collector's passes until the run ends: each
    full pass would walk it all again, for nothing (about 5 % of a 1,000-file night)."""
    gc.collect()
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


def _command(args: argparse.Namespace, files: Sequence[str] | None) -> str:
    """The command as the history attribute records it (the files counted, not listed:
    the source_files attribute lists them)."""
    inputs = f"<{len(files)} raw files>" if files is not None else "<the night's raw files>"
    words = [PROG, "process", inputs, "-o", args.output]
    if getattr(args, "split", None):
        words += ["--split", args.split]
    if args.config:
        words += ["--config", args.config]
    if args.workers:
        words += ["--workers", str(args.workers)]
    if args.scheduler:
        words += ["--scheduler", args.scheduler]
    return " ".join(words)


def _quicklook(args: argparse.Namespace) -> int:
    from Aerolume.plot import quicklooks as quicklook

    product = pathlib.Path(args.product)
    if not product.is_file():
        raise CommandError(f"{args.product}: no such file")
    output = _output_path(args.output, inputs=[args.product])
    channels = [c.strip() for c in args.channels.split(",") if c.strip()] \
        if args.channels else None
    quicklook.quicklook(product, output, max_range=args.max_range * 1e3, channels=channels)
    return 0


def _channel_ids(pairs: Sequence[str]) -> dict[str, int] | None:
    ids: dict[str, int] = {}
    for pair in pairs:
        name, sep, number = pair.partition("=")
        if not sep or not number.strip().isdigit():
            raise CommandError(f"--channel-id {pair!r}: expected CHANNEL=ID, e.g. 355_an=1234")
        ids[name.strip()] = int(number)
    return ids or None


def _export(args: argparse.Namespace) -> int:
    from Aerolume._files import write_atomically
    from Aerolume.io import read_licel, to_scc

    files = _input_files(args.files)
    if args.format == "earlinet":
        return _export_earlinet(args, files)
    output = _output_path(args.output, inputs=files)
    ids = _channel_ids(args.channel_id)
    overlap = _overlaps(args.overlap)
    ratios = _lidar_ratios(args.lidar_ratio_product, args.config)
    raw = read_licel(files)
    write_atomically(output, lambda temporary: to_scc(
        raw, temporary, channel_ids=ids, station_code=args.station_code,
        measurement_id=args.measurement_id, sounding_file=args.sounding_file,
        overlap=overlap, overlap_file=args.overlap_file, lidar_ratio=ratios,
        lidar_ratio_file=args.lidar_ratio_file))
    return 0


def _overlaps(items: Sequence[str]) -> xr.DataArray | dict[str, xr.DataArray] | None:
    """--overlap [CHANNEL=]FILE ...: one overlap for every channel, or one per channel."""
    from Aerolume.preprocess import read_overlap

    if not items:
        return None
    named, common = {}, []
    for item in items:
        name, sep, path = item.partition("=")
        if sep and name.strip() and not pathlib.Path(item).exists():
            named[name.strip()] = read_overlap(path)
        else:
            common.append(read_overlap(item))
    if common and (named or len(common) > 1):
        raise CommandError("--overlap: give one FILE for every channel, or CHANNEL=FILE "
                           "for each, not both")
    return common[0] if common else named


def _lidar_ratios(items: Sequence[str], config_path: str | None) -> dict[int, float] | None:
    """--lidar-ratio-product ID[=SR] ...: the lidar ratio of each SCC product id."""
    if not items:
        return None
    default = None
    out = {}
    for item in items:
        number, sep, value = item.partition("=")
        if not number.strip().isdigit() or int(number) <= 0:
            raise CommandError(f"--lidar-ratio-product {item!r}: expected ID[=SR] with a "
                               "positive integer ID, e.g. 123=55")
        if sep:
            try:
                out[int(number)] = float(value)
            except ValueError:
                raise CommandError(f"--lidar-ratio-product {item!r}: {value!r} is not a "
                                   "lidar ratio (sr)") from None
        else:
            if default is None:
                from Aerolume.processing import config

                default = float(config.load_config(config_path)["klett"]["lidar_ratio"])
            out[int(number)] = default
    return out


def _export_earlinet(args: argparse.Namespace, files: Sequence[str]) -> int:
    from Aerolume.processing import config
    from Aerolume.io.earlinet import to_earlinet
    from Aerolume.io import open_dataset

    if len(files) != 1:
        raise CommandError("--format earlinet takes one product file of `aerolume process`")
    if not pathlib.Path(args.output).is_dir():
        raise CommandError(f"{args.output}: no such folder (earlinet writes one file per "
                           "product into a folder)")
    cfg = config.load_config(args.config)
    product = open_dataset(files[0])
    for path in to_earlinet(product, args.output, station=cfg["station"]):
        sys.stdout.write(f"{path}\n")
    return 0


def _config(args: argparse.Namespace) -> int:
    from Aerolume.processing import config

    sys.stdout.write(config.default_config_text())
    return 0


COMMANDS = {"info": _info, "process": _process, "quicklook": _quicklook, "export": _export,
            "config": _config}


# ---- errors and warnings as one line each --------------------------------------------------

def _one_line(err: BaseException) -> str:
    if isinstance(err, OSError) and err.strerror:
        text = f"{err.filename}: {err.strerror}" if err.filename else err.strerror
    else:
        text = str(err) or type(err).__name__
    return " ".join(part.strip() for part in text.splitlines() if part.strip())


def _show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  file: TextIO | None = None, line: str | None = None) -> None:
    stream = sys.stderr if file is None else file
    first, *rest = str(message).strip("\n").split("\n")
    text = "\n".join([first] + ["    " + more.strip() for more in rest])
    clear = "\r\033[K" if getattr(stream, "isatty", lambda: False)() else ""
    stream.write(f"{clear}{PROG}: warning: {text}\n")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status (0 success, 1 error, 2 usage)."""
    from Aerolume.processing.config import ConfigError
    from Aerolume.processing.runners import MissingDependency

    args = _parser().parse_args(argv)
    previous = warnings.showwarning
    warnings.showwarning = _show_warning
    try:
        return COMMANDS[args.command](args)
    except (CommandError, ConfigError, MissingDependency, OSError, ValueError) as err:
        if args.debug:
            raise
        sys.stderr.write(f"{PROG}: error: {_one_line(err)}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{PROG}: interrupted\n")
        return 130
    finally:
        warnings.showwarning = previous
        sys.stderr.flush()


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
