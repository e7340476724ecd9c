"""The depolarisation step of ``aerolume process``: the ``[[depolarization]]`` tables of a
configuration checked and calibrated once for the run (:func:`prepare`), the total signal
of each parallel/cross pair added to every block before the retrievals
(:func:`with_total`), and the depolarisation ratios of every block after them
(:func:`block_products`).

The product gains, on (time, depolarization_channel, range) with
``depolarization_channel`` the cross channel of each pair: ``volume_depolarization``,
``particle_depolarization`` (where a Klett-Fernald retrieval of the pair's wavelength
gives the backscatter ratio), their ``*_uncertainty`` and ``*_flag`` (the bits of
:data:`Aerolume.quality.FLAGS`), and the ``backscatter_ratio`` used; on
depolarization_channel, the calibration: ``depolarization_eta_star`` and its
uncertainty, ``depolarization_eta``, ``depolarization_misalignment``,
``depolarization_calibration_time``, ``_method``, ``_origin`` (``measured`` or
``history``) and ``_file`` (the ±45° raw files or the history file, by name).
"""

from __future__ import annotations

import dataclasses
import glob
import math
import os
import warnings

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from Aerolume import depolarization as depol
from Aerolume._typing import AnyArray, FloatArray

if TYPE_CHECKING:
    import xarray as xr

    from Aerolume.processing.config import Config
    from Aerolume.processing.pipeline import Settings
    from Aerolume.processing.products import _Clouds

#: Detection modes, the preferred first, when the letters give a pair in several.
_MODE_RANK = {"gl": 0, "pc": 1, "an": 2}
_GLOB = set("*?[")


@dataclasses.dataclass
class Pair:
    """One ``[[depolarization]]`` table resolved for a run (picklable, for the workers)."""
    where: str
    table: dict[str, Any]
    cross: str
    co: str
    co_kind: str
    wavelength: float
    calibration: depol.Calibration
    total: str | None      # the channel added with the total signal, if any
    backscatter: str | None  # the Klett-Fernald channel giving the backscatter ratio
    from_history: bool
    out_of_date: bool
    calibration_file: str


def prepare(config: Config, settings: Settings, corrected: xr.Dataset,
            files: Sequence[str] = ()) -> xr.Dataset:
    """Checks every ``[[depolarization]]`` table against the night (its first file,
    corrected: `corrected`; the molecular calibration on the calibration files of `files`,
    :func:`Aerolume.processing.pipeline.calibration_files`) and
    calibrates each pair once for the run; puts the pairs into
    ``settings.depolarization`` and, where ``[klett] channels = "auto"``, puts the
    total signal of each parallel/cross pair in the place of its two channels.

    Returns `corrected` with the total channels added (for the channel checks).

    Raises
    ------
    ConfigError
        Naming the configuration file and the table: a pair the data do not have (no
        cross channel, a channel id that is not there), calibration files missing, not
        matching each other or without signal in the calibration range, no history.
    """
    tables = config.tables.get("depolarization") or []
    settings.depolarization = []
    if not tables:
        return corrected
    night = corrected["time"].values[0]
    cal_corrections = dict(settings.corrections, overlap=None)
    sample: xr.Dataset | None = None
    pairs: list[Pair] = []
    for i, given in enumerate(tables):
        where = f"[[depolarization]] #{i + 1}"
        table = _resolve_paths(dict(given), config, where)
        try:
            depol.check_table(table, where)
            pair = _pair(corrected, table, where)
        except ValueError as err:
            raise config.error(where, _strip(str(err), where)) from None
        table["cross"], table["co"] = pair.cross, pair.co
        try:
            if table.get("molecular_reference") is not None and sample is None:
                sample = _night_sample(files, settings, cal_corrections) or corrected
            calibration = depol.table_calibration(table, night, corrections=cal_corrections,
                                                  signals=sample if sample is not None
                                                  else corrected, where=where)
        except (OSError, ValueError) as err:
            raise config.error(where, _strip(str(err), where)) from None
        origin = calibration.origin
        from_history = origin.startswith("latest earlier")
        age = _age_days(calibration.time, night)
        ids = [str(c) for c in corrected["channel"].values]
        total = None
        if pair.co_kind == "parallel":
            stem, _, mode = pair.co.rpartition("_")
            candidate = f"{stem.rstrip('abcdefghijklmnopqrstuvwxyz')}_{mode}"
            total = candidate if candidate not in ids else None
        checked = depol.check_table(table, where)
        pairs.append(Pair(where, table, pair.cross, pair.co, pair.co_kind, pair.wavelength,
                          calibration, total, None, from_history,
                          age > checked["calibration_max_age"],
                          _calibration_file(calibration, table)))
    settings.depolarization = pairs
    corrected = with_total(corrected, settings)
    _choose_klett(corrected, settings)
    return corrected


def _night_sample(files: Sequence[str], settings: Settings, corrections: dict[str, Any]
                  ) -> xr.Dataset | None:
    """The calibration files (:func:`Aerolume.processing.pipeline.calibration_files`)
    read and corrected (the molecular calibration sums them); None without files."""
    from Aerolume.io import read_licel
    from Aerolume.preprocess import correct
    from Aerolume.processing import pipeline

    if not files:
        return None
    ordered = pipeline.calibration_files(files, settings)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        raw = read_licel(ordered, errors=settings.errors, threads=settings.threads or None)
        return correct(raw, **corrections, threads=settings.threads or None)


def _strip(text: str, where: str) -> str:
    """The message without its leading `where` (the ConfigError names it)."""
    return text[len(where) + 2:] if text.startswith(where + ": ") else text


def _resolve_paths(table: dict[str, Any], config: Config, where: str) -> dict[str, Any]:
    """Calibration files and the history folder relative to the configuration's folder;
    a file that is not there is an error here, before any work."""
    for key in ("plus45", "minus45"):
        value = table.get(key)
        if value is None:
            continue
        values = [value] if isinstance(value, (str, os.PathLike)) else value
        if not isinstance(values, list):
            continue  # (check_table names the type)
        resolved: list[object] = []
        for v in values:
            if not isinstance(v, (str, os.PathLike)):
                resolved.append(v)
                continue
            path = str(config.resolve(os.fspath(v)))
            if _GLOB & set(os.path.basename(path)):
                if not glob.glob(path):
                    raise config.error(f"{where} {key}", f"no file matches {path!r}")
            elif not os.path.exists(path):
                raise config.error(f"{where} {key}", f"no such file or folder {path!r}")
            resolved.append(path)
        table[key] = resolved[0] if isinstance(value, (str, os.PathLike)) else resolved
    if isinstance(table.get("history"), str):
        table["history"] = str(config.resolve(table["history"]))
        only_history = all(table.get(k) is None for k in ("plus45", "eta",
                                                           "molecular_reference"))
        if only_history and not os.path.isdir(table["history"]):
            raise config.error(f"{where} history", f"no calibration history folder "
                               f"{table['history']!r} (and no calibration measurement)")
    return table


def _pair(corrected: xr.Dataset, table: dict[str, Any], where: str) -> depol.ChannelPair:
    pairs = depol.channel_pairs(corrected, cross=table.get("cross"), co=table.get("co"),
                                source=where)
    if not pairs:
        ids = [str(c) for c in corrected["channel"].values]
        raise ValueError(f"{where}: the data have no depolarisation pair (no cross channel "
                         f"among {ids}); name cross and co")
    if len(pairs) > 1:
        waves = {p.wavelength for p in pairs}
        if len(waves) > 1:
            raise ValueError(f"{where}: the data have {len(pairs)} depolarisation pairs "
                             f"{[(p.cross, p.co) for p in pairs]}; name cross and co (one "
                             "table per pair)")
        pairs = sorted(pairs, key=lambda p: _MODE_RANK.get(p.cross.rpartition("_")[2], 3))
    return pairs[0]


def _age_days(time: str, night: np.datetime64) -> float:
    """Days from the calibration's measurement to the night (0 when unknown)."""
    if not time:
        return 0.0
    try:
        measured = np.datetime64(time.rstrip("Z"))
    except ValueError:
        return 0.0
    return float((np.datetime64(night) - measured) / np.timedelta64(1, "D"))


def _calibration_file(calibration: depol.Calibration, table: dict[str, Any]) -> str:
    """The files the calibration came from, by name (no folder of the machine)."""
    origin = calibration.origin
    if ": " in origin and origin.rsplit(": ", 1)[-1].endswith(".json"):
        return os.path.basename(origin.rsplit(": ", 1)[-1])
    if calibration.method == "delta90":
        return ", ".join(os.path.basename(f) for f in calibration.source)
    return ""


def _origin(pair: Pair) -> str:
    """How the calibration reached the product: "measured" (the night's own, from its
    files or its day in the history), "history" (an earlier night's), "configuration"."""
    if pair.from_history:
        return "history"
    if pair.calibration.method == "constant":
        return "configuration"
    return "measured"


def _choose_klett(corrected: xr.Dataset, settings: Settings) -> None:
    """``[klett] channels = "auto"``: no Klett-Fernald retrieval of a pair's cross
    channel, and the total signal of a parallel/cross pair in the place of its parallel
    channel (the backscatter of the cross or parallel light alone is not the aerosol's);
    and the channel each pair's backscatter ratio comes from (the total signal, the
    pair's total channel, else another Klett channel of its wavelength)."""
    from Aerolume.processing.products import elastic_channels

    channels = settings.klett["channels"]
    if channels == "auto":
        dropped: set[str] = set()
        for p in settings.depolarization:
            dropped |= set(_same_stem(corrected, p.cross))
            if p.total is not None:
                dropped |= set(_same_stem(corrected, p.co))
        channels = [c for c in elastic_channels(corrected) if c not in dropped]
        settings.klett["channels"] = channels
    for p in settings.depolarization:
        wanted = p.total if p.total is not None else p.co
        if wanted in channels:
            p.backscatter = wanted
        else:
            same = [c for c in channels if c != p.cross and abs(
                float(corrected["wavelength"].sel(channel=c)) - p.wavelength) < 1e-12]
            p.backscatter = same[0] if same else None


def _same_stem(corrected: xr.Dataset, channel: str) -> list[str]:
    stem = channel.rpartition("_")[0]
    return [str(c) for c in corrected["channel"].values if str(c).rpartition("_")[0] == stem]


def with_total(corrected: xr.Dataset, settings: Settings) -> xr.Dataset:
    """The corrected Dataset with the total signal of each parallel/cross pair as a channel
    of its own (the co channel's coordinates, polarisation ``none``), its noise propagated
    from both channels."""
    import xarray as xr

    added: list[xr.Dataset] = []
    pairs: list[Pair] = getattr(settings, "depolarization", None) or []
    for p in pairs:
        if p.total is None:
            continue
        cal = p.calibration
        ghk = p.table.get("ghk")
        receiver = depol.GHK(*[float(v) for v in ghk]) if ghk is not None else cal.ghk
        cross = corrected["signal"].sel(channel=p.cross)
        co = corrected["signal"].sel(channel=p.co)
        total = depol.total_signal(cross.values, co.values, cal, ghk=receiver)
        eps = cal.misalignment
        g = receiver.rotated(eps) if math.isfinite(eps) else receiver
        scale = cal.eta * (g.h_cross * g.g_co - g.h_co * g.g_cross)
        new = corrected.sel(channel=[p.co])
        new = new.assign_coords(channel=[p.total])
        if "polarization" in new.coords:
            new = new.assign_coords(polarization=("channel", np.array(["none"], dtype=object)))
        new["signal"] = (new["signal"].dims, total[..., None, :] if new["signal"].dims[-2] ==
                         "channel" else total, corrected["signal"].attrs)
        if "signal_noise" in corrected:
            sc = corrected["signal_noise"].sel(channel=p.cross).values
            sp = corrected["signal_noise"].sel(channel=p.co).values
            sd = np.hypot(cal.eta * g.h_cross * sp, g.h_co * sc) / abs(scale)
            new["signal_noise"] = (new["signal_noise"].dims, sd[..., None, :],
                                   corrected["signal_noise"].attrs)
        for name in ("background", "background_std"):
            if name in new:
                new[name] = new[name] * np.nan
        added.append(new)
    if not added:
        return corrected
    timeless = [n for n, v in corrected.data_vars.items() if "channel" not in v.dims]
    parts = [corrected.drop_vars(timeless)] + [a.drop_vars(timeless, errors="ignore")
                                               for a in added]
    joined = xr.concat(parts, dim="channel", data_vars="minimal", coords="minimal",
                       compat="override", join="exact", combine_attrs="override")
    return joined.merge(corrected[timeless], compat="override", join="exact",
                        combine_attrs="override")


def _pair_ratios(product: xr.Dataset, pair: Pair, settings: Settings) -> xr.Dataset:
    """:func:`Aerolume.depolarization.block_products` of one pair, each profile's Monte
    Carlo drawing from its own seed (its time and the cross channel, as the retrievals'
    do), so that the product does not depend on the blocks."""
    from Aerolume.processing.products import profile_seed

    source = product
    if pair.backscatter is None:
        source = product.drop_vars(["backscatter"], errors="ignore")
    seed = settings.uncertainty["seed"]
    seeds = [profile_seed(seed, t, pair.cross) for t in product["time"].values]
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "invalid value", RuntimeWarning)
        warnings.filterwarnings("ignore", "divide by zero", RuntimeWarning)
        return depol.block_products(source, pair.table, pair.calibration,
                                    realisations=settings.uncertainty["realisations"],
                                    seed=seeds, threads=settings.threads or None,
                                    where=pair.where, klett_channel=pair.backscatter)


def block_products(product: xr.Dataset, settings: Settings) -> xr.Dataset:
    """The depolarisation ratios of one block, after the retrievals (nothing without
    ``[[depolarization]]`` tables)."""
    pairs: list[Pair] = getattr(settings, "depolarization", None) or []
    if not pairs:
        return product
    from Aerolume import quality
    from Aerolume.processing import products

    realisations = settings.uncertainty["realisations"]
    full_overlap = products._full_overlap(product)
    clouds: _Clouds = {}
    if "cloud_mask" in product:
        clouds["cloud_mask"] = np.asarray(product["cloud_mask"].values).astype(bool)
        base = np.asarray(product["cloud_base"].values, dtype=float)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # (all-NaN rows: no cloud)
            clouds["cloud_base"] = np.nanmin(base, axis=1) if base.ndim == 2 else base
    rng = np.asarray(product["range"].values, dtype=float)
    names = ("volume_depolarization", "particle_depolarization")
    stacks: dict[str, list[AnyArray]] = {}
    attrs: dict[str, dict[str, Any]] = {}
    shape = (product.sizes["time"], product.sizes["range"])
    for p in pairs:
        out = _pair_ratios(product, p, settings)
        snr = np.minimum(*(products._snr(
            np.asarray(product["signal"].sel(channel=c).values, dtype=float),
            np.nan_to_num(np.asarray(product["signal_noise"].sel(channel=c).values)))
            for c in (p.cross, p.co)))
        checked = depol.check_table(p.table, p.where)
        for name in names:
            if name in out:
                values = np.asarray(out[name].values, dtype=float)
                sd = (np.asarray(out[f"{name}_uncertainty"].values, dtype=float)
                      if f"{name}_uncertainty" in out else None)
                ratio: tuple[FloatArray, float] | None = None
                if name == "particle_depolarization":
                    ratio = (np.asarray(out["backscatter_ratio"].values),
                             checked["min_backscatter_ratio"])
                flag = quality.flags(
                    rng, full_overlap=full_overlap, snr=snr, retrieved=np.isfinite(values),
                    settings=settings.quality, depolarization=(values, sd),
                    backscatter_ratio=ratio,
                    calibration={"from_history": p.from_history,
                                 "out_of_date": p.out_of_date}, **clouds)
                row: dict[str, AnyArray] = {name: values, f"{name}_flag": flag}
                if sd is not None:
                    row[f"{name}_uncertainty"] = sd
                if ratio is not None:
                    row["backscatter_ratio"] = ratio[0]
            else:
                row = {name: np.full(shape, np.nan),
                       f"{name}_flag": np.full(shape, quality.FLAGS["not_retrieved"],
                                               quality.DTYPE)}
                if realisations:
                    row[f"{name}_uncertainty"] = np.full(shape, np.nan)
                if name == "particle_depolarization":
                    row["backscatter_ratio"] = np.full(shape, np.nan)
            for key, value in row.items():
                stacks.setdefault(key, []).append(value)
        attrs.setdefault("volume_depolarization", {
            k: out.attrs[k] for k in ("method", "uncertainty_method",
                                      "uncertainty_realisations", "uncertainty_seed")
            if k in out.attrs})
        attrs.setdefault("particle_depolarization", {
            k: out.attrs[k] for k in ("particle_method", "molecular_line",
                                      "molecular_depolarization", "flag_min_backscatter_ratio")
            if k in out.attrs})
    dims = ("time", "depolarization_channel", "range")
    # (gathered, then added at once: each assignment would copy the product)
    new: dict[str, tuple[tuple[str, ...], AnyArray, dict[str, Any]]
              | tuple[tuple[str, ...], AnyArray]] = {}
    for key, stacked in stacks.items():
        stem = key.replace("_uncertainty", "").replace("_flag", "")
        long = ("volume" if stem.startswith("volume") else "particle") + \
            " linear depolarisation ratio"
        if key.endswith("_flag"):
            a = quality.flag_attributes(long, quality.DEPOLARIZATION_BITS)
            a["long_name"] = f"quality flag of the {long} (0: good)"
        elif key == "backscatter_ratio":
            a = {"units": "1", "long_name": "backscatter ratio (beta_a + beta_m) / beta_m "
                 "of the pair's wavelength behind the particle depolarisation ratio",
                 "source_channel": " ".join(p.backscatter or "" for p in pairs)}
        else:
            a = dict(attrs.get(stem, {}))
        new[key] = (dims, np.stack(stacked, axis=1), a)
    cal = [p.calibration for p in pairs]
    chan = ("depolarization_channel",)
    # (seconds since the epoch, NaN when unknown: an all-NaT time variable cannot be
    # encoded; the units attribute makes readers decode it as a time)
    epoch = np.datetime64("1970-01-01T00:00:00", "s")
    times = [float((np.datetime64(c.time.rstrip("Z"), "s") - epoch) / np.timedelta64(1, "s"))
             if c.time else np.nan for c in cal]
    new.update({
        "depolarization_eta_star": (chan, np.array([c.eta_star for c in cal])),
        "depolarization_eta_star_uncertainty": (chan, np.array(
            [c.eta_star_uncertainty for c in cal])),
        "depolarization_eta": (chan, np.array([c.eta for c in cal])),
        "depolarization_misalignment": (chan, np.array([c.misalignment for c in cal])),
        "depolarization_calibration_time": (chan, np.array(times)),
        "depolarization_calibration_method": (chan, np.array([c.method for c in cal],
                                                             dtype=object)),
        "depolarization_calibration_origin": (chan, np.array([_origin(p) for p in pairs],
                                                             dtype=object)),
        "depolarization_calibration_file": (chan, np.array(
            [p.calibration_file for p in pairs], dtype=object)),
    })
    result = product.assign_coords(
        depolarization_channel=(chan, np.array([p.cross for p in pairs], dtype=object)),
        depolarization_co_channel=(chan, np.array([p.co for p in pairs], dtype=object)))
    return result.assign(new)

