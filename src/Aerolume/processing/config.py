"""The processing configuration: a TOML file, checked field by field before any work.

A configuration is optional; every field has a default, and the defaults of the fields a
file leaves out are written, with the file's own text, into the provenance of the
products.  Tables and fields (``aerolume config`` prints this as a commented file):

``[input]``
    ``errors``: what to do with a raw file that cannot be read: ``"raise"`` stops with an
    error naming the file, ``"skip"`` leaves it out with a warning naming it and why.
    ``channel_ids``: the ids of the channels of files that do not name them (PollyXT
    level 0), in file order; each gives the wavelength and polarisation ("532s_pc").
``[station]``
    ``altitude`` (m above sea level) and ``zenith_angle`` (deg from the vertical) replace
    the values of the raw files' headers when given.
``[corrections]``
    The keyword arguments of :func:`Aerolume.preprocess.correct`, one to one (dead time,
    trigger delay, background window, gluing, averaging, overlap ...); see its
    documentation.  A field it does not take is an error.
``[atmosphere]``
    ``sounding``: a text file of a radiosonde ascent (columns altitude above sea level in
    m, pressure in Pa, temperature in K; ``#`` starts a comment; commas or blanks between
    values), relative to the configuration file's folder.  Without it, ``model`` chooses
    the atmosphere (by default the standard one scaled to the surface air the raw files'
    headers record).  ``line``: the molecular backscatter the elastic channels see,
    ``"total"`` (Cabannes line and rotational Raman wings) or ``"cabannes"``.
``[klett]``
    The elastic (Klett-Fernald) retrieval: ``channels`` (``"auto"``: one per emitted
    wavelength, the glued channel where there is one; or a list of channel ids; ``[]``
    for none), ``lidar_ratio`` and its ``lidar_ratio_uncertainty`` (sr), ``reference``
    (``"auto"`` to search ``reference_search`` for a molecular interval of
    ``reference_width``, or ``[bottom, top]`` in m), ``reference_value`` (the
    backscatter ratio there, 1 for clean air) and its ``reference_value_uncertainty``.
``[[raman]]``
    One table per Raman retrieval, pairing an ``elastic`` and a ``raman`` channel id:
    ``angstrom`` exponent and ``angstrom_uncertainty``, the derivative's ``window`` (m),
    ``reference``, ``reference_value`` and ``reference_value_uncertainty`` of the
    backscatter as for ``[klett]``.
``[[depolarization]]``
    One table per depolarisation channel pair (none by default): ``cross`` and ``co``
    channel ids (default: the pair the raw files' polarisation letters give), the
    calibration (``plus45`` and ``minus45`` raw files of a ±45° measurement, or ``eta``,
    or ``molecular_reference``, or only a ``history`` folder of earlier calibrations) and
    the receiver; the fields are those of
    :data:`Aerolume.depolarization.TABLE_FIELDS`, checked by
    :func:`Aerolume.depolarization.check_table`.
``[uncertainty]``
    ``realisations`` of the Monte Carlo uncertainty (0: none; at most 100,000, see
    :data:`Aerolume.uncertainty.MAX_REALISATIONS`) and its ``seed``.
``[processing]``
    ``block``: raw profiles per unit of work (the unit that runs on one Dask worker; the
    products do not depend on it), ``max_range`` (m) of the products, ``threads`` of the
    numerical core per process (0: all cores).
``[output]``
    ``compression`` of the netCDF variables: ``"zstd"`` (the default, level 1),
    ``"zlib"`` (level 4 unless ``level`` says otherwise) or ``"none"``; a whole number 0
    to 9, as older files give it, is a zlib level (0: none).  ``level``: the
    compressor's level (zstd 1 to 22, zlib 1 to 9).  Both are lossless.
"""

from __future__ import annotations

import copy
import dataclasses
import json
import math
import os
import pathlib
import sys
from collections.abc import Callable, Iterable
from typing import Any, TypeVar

from Aerolume._checks import MAX_THREADS
from Aerolume.constants import MAX_LIDAR_RATIO

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - depends on the interpreter
    import tomli as tomllib

__all__ = ["Config", "ConfigError", "load_config", "default_config_text", "SCHEMA",
           "compression"]


from Aerolume.errors import ConfigError  # noqa: E402 (re-exported)


#: What a field's check makes of a value.
_Checked = TypeVar("_Checked")


class _Invalid(Exception):
    """Raised by a field check: the reason, completed with the file and field by the caller."""


@dataclasses.dataclass(frozen=True)
class Field:
    """One field of a table: its default, its check and its documentation."""
    default: object
    check: Callable[[object], object]
    doc: str
    required: bool = False


# ---- checks: each returns the normalised value or raises _Invalid with the reason ----

def _number(unit: str = "", *, minimum: float | None = None, positive: bool = False,
            below: float | None = None, allow_inf: bool = False,
            maximum: float | None = None) -> Callable[[object], float]:
    def check(value: object) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise _Invalid(f"must be a number{_in(unit)}, got {_show(value)}")
        number = float(value)
        if math.isnan(number) or (math.isinf(number) and not allow_inf):
            raise _Invalid(f"must be a finite number{_in(unit)}, got {_show(number)}")
        if positive and not number > 0:
            raise _Invalid(f"must be positive{_in(unit)}, got {_show(number)}")
        if minimum is not None and number < minimum:
            raise _Invalid(f"must be at least {minimum:g}{_in(unit)}, got {_show(number)}")
        if below is not None and not number < below:
            raise _Invalid(f"must be below {below:g}{_in(unit)}, got {_show(number)}")
        if maximum is not None and number > maximum:
            raise _Invalid(f"must be at most {maximum:g}{_in(unit)}, got {_show(number)}")
        return number
    return check


def _integer(*, minimum: int = 0, maximum: int | None = None) -> Callable[[object], int]:
    def check(value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise _Invalid(f"must be an integer, got {_show(value)}")
        if value < minimum or (maximum is not None and value > maximum):
            bound = f"from {minimum} to {maximum}" if maximum is not None else f">= {minimum}"
            raise _Invalid(f"must be an integer {bound}, got {value}")
        return value
    return check


def _realisations(value: object) -> int:
    from Aerolume.uncertainty import MAX_REALISATIONS
    count = _integer(minimum=0, maximum=MAX_REALISATIONS)(value)
    if count == 1:
        raise _Invalid("must be 0 (no uncertainties) or at least 2, got 1")
    return count


def _choice(*options: str) -> Callable[[object], str]:
    def check(value: object) -> str:
        if not isinstance(value, str) or value not in options:
            raise _Invalid(f"must be one of {', '.join(map(repr, options))}, got {_show(value)}")
        return value
    return check


def _boolean(value: object) -> bool:
    if not isinstance(value, bool):
        raise _Invalid(f"must be true or false, got {_show(value)}")
    return value


def _text(value: object) -> str:
    if not isinstance(value, str) or not value:
        raise _Invalid(f"must be a non-empty string, got {_show(value)}")
    return value


def _optional(check: Callable[[object], _Checked]) -> Callable[[object], _Checked | None]:
    return lambda value: None if value is None else check(value)


def _interval(value: object) -> list[float]:
    """[bottom, top] in m, 0 <= bottom < top."""
    if (not isinstance(value, list) or len(value) != 2
            or any(isinstance(v, bool) or not isinstance(v, (int, float)) for v in value)):
        raise _Invalid(f"must be [bottom, top] in m, got {_show(value)}")
    bottom, top = (float(v) for v in value)
    if not (math.isfinite(bottom) and math.isfinite(top) and 0 <= bottom < top):
        raise _Invalid(f"must be [bottom, top] in m with 0 <= bottom < top, got {_show(value)}")
    return [bottom, top]


def _reference(value: object) -> str | list[float]:
    if value == "auto":
        return value
    try:
        return _interval(value)
    except _Invalid:
        raise _Invalid(f'must be "auto" or [bottom, top] in m, got {_show(value)}') from None


def _channels(value: object) -> str | list[str]:
    if value == "auto":
        return "auto"
    if not isinstance(value, list) or not all(isinstance(v, str) and v for v in value):
        raise _Invalid(f'must be "auto" or a list of channel ids, got {_show(value)}')
    if len(set(value)) != len(value):
        raise _Invalid(f"names a channel twice: {_show(value)}")
    return list(value)


def _channel_ids(value: object) -> list[str]:
    """Ids of channels in file order, each starting with its wavelength in nm and an
    optional polarisation letter ("355_pc", "532s_pc")."""
    import re

    ids = _channels(value)
    if isinstance(ids, str):  # "auto"
        raise _Invalid('must be a list of channel ids such as ["355_pc", "532s_pc"], got "auto"')
    for ident in ids:
        if not re.fullmatch(r"[0-9]+[ps]?_[A-Za-z0-9]+", ident):
            raise _Invalid(f"{ident!r} is not a channel id of the form <wavelength nm>"
                           f"[p|s]_<mode>, e.g. 355_pc or 532s_pc")
    return ids


def _in(unit: str) -> str:
    return f" ({unit})" if unit else ""


def _show(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


# Bounds past which a value is a mistake rather than a setting (the lidar ratio's is
# constants.MAX_LIDAR_RATIO): a derivative window past 10 km leaves no profile to retrieve.
_MAX_LIDAR_RATIO = MAX_LIDAR_RATIO
_MAX_WINDOW = 10000.0
# Bins a raw file may hold: the most an average over range may take.
_MAX_BINS = 1 << 26

#: The compressors of ``[output] compression`` and their default levels.
COMPRESSION_LEVELS = {"zstd": 1, "zlib": 4}
ZSTD_MAX_LEVEL = 22
ZLIB_MAX_LEVEL = 9


def _compression(value: object) -> str | int:
    """"zstd", "zlib", "none", or a zlib level 0 to 9 (the older form)."""
    if isinstance(value, str) and value in ("zstd", "zlib", "none"):
        return value
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= ZLIB_MAX_LEVEL:
        return value
    raise _Invalid(f'must be "zstd", "zlib", "none" or a zlib level from 0 to '
                   f"{ZLIB_MAX_LEVEL}, got {_show(value)}")


def compression(config: Config) -> tuple[str, int]:
    """The ``[output]`` table's compression as (``"zstd"``, ``"zlib"`` or ``"none"``,
    level); a level of the older integer form becomes zlib at that level (0: none)."""
    table = config["output"]
    kind, level = table["compression"], table.get("level")
    if isinstance(kind, int):
        return ("zlib", kind) if kind else ("none", 0)
    if kind == "none":
        return "none", 0
    return kind, level if level is not None else COMPRESSION_LEVELS[kind]


def _check_output(table: dict[str, Any]) -> None:
    kind, level = table["compression"], table.get("level")
    if level is None:
        return
    if kind == "none" or isinstance(kind, int):
        raise _Invalid(f"level: applies to \"zstd\" or \"zlib\" compression, not to "
                       f"{_show(kind)}; remove it")
    if kind == "zlib" and level > ZLIB_MAX_LEVEL:
        raise _Invalid(f"level: zlib levels go from 1 to {ZLIB_MAX_LEVEL}, got {level}")


# ---- the schema ----------------------------------------------------------------------

_REFERENCE_DOC = ('"auto" to search for a molecular interval, or [bottom, top] along '
                  "the beam (m)")

SCHEMA: dict[str, dict[str, Field]] = {
    "input": {
        "errors": Field("raise", _choice("raise", "skip"),
                        '"raise": a raw file that cannot be read stops the run with an error '
                        'naming it; "skip": it is left out, with a warning naming it and why'),
        "channel_ids": Field(None, _optional(_channel_ids),
                             "ids of the channels of raw files that do not name them (PollyXT "
                             'level 0), in file order, e.g. ["355_pc", "355s_pc", "387_pc"]: '
                             "each id gives the channel's wavelength (nm) and polarisation "
                             "(p or s after the wavelength); default ch1, ch2, ... without "
                             "wavelengths"),
    },
    "station": {
        "altitude": Field(None, _optional(_number("m")),
                          "station altitude above sea level (m); default: the raw files' header"),
        "zenith_angle": Field(None, _optional(_number("deg", minimum=0.0, below=90.0)),
                              "angle of the beam from the vertical (deg); default: the header"),
        # The station's identity in the data centre's product files (aerolume export
        # --format earlinet); not used by the processing.
        "station_id": Field(None, _optional(_text), "the station's id in the network (e.g. "
                            "three letters), for exported product files"),
        "location": Field(None, _optional(_text), "the station's place name"),
        "institution": Field(None, _optional(_text), "the institution running the station"),
        "pi": Field(None, _optional(_text), "principal investigator"),
        "pi_affiliation": Field(None, _optional(_text), "the principal investigator's "
                                "institution"),
        "data_originator": Field(None, _optional(_text), "who measured the data"),
        "system": Field(None, _optional(_text), "the lidar system's name"),
    },
    "atmosphere": {
        "sounding": Field(None, _optional(_text),
                          "radiosonde file (altitude m a.s.l., pressure Pa, temperature K, "
                          "one level a line), relative to this file; default: the US "
                          "Standard Atmosphere 1976"),
        "model": Field("auto", _choice("auto", "us1976", "standard_scaled", "tropical",
                                       "midlatitude_summer", "midlatitude_winter"),
                       'without a sounding: "us1976", the US Standard Atmosphere 1976 as it '
                       'is; "standard_scaled", scaled to the surface temperature and pressure '
                       "the raw files' headers record; an AFGL climatology (\"tropical\", "
                       '"midlatitude_summer", "midlatitude_winter"); "auto": standard_scaled '
                       "where the headers record a plausible surface temperature and "
                       "pressure, us1976 otherwise"),
        "line": Field("total", _choice("total", "cabannes"),
                      "molecular backscatter seen by the elastic channels: the whole "
                      'Rayleigh band ("total") or the Cabannes line alone ("cabannes")'),
    },
    "klett": {
        "channels": Field("auto", _channels,
                          '"auto": one elastic channel per emitted wavelength, glued where '
                          "there is one; or a list of channel ids; [] for none"),
        "lidar_ratio": Field(50.0, _number("sr", positive=True, maximum=_MAX_LIDAR_RATIO),
                             "aerosol extinction-to-backscatter ratio (sr; at most 1000)"),
        "lidar_ratio_uncertainty": Field(0.0, _number("sr", minimum=0.0),
                                         "its standard uncertainty (sr)"),
        "reference": Field("auto", _reference, _REFERENCE_DOC),
        "reference_search": Field([3000.0, 15000.0], _interval,
                                  "where the automatic reference is looked for (m)"),
        "reference_width": Field(1000.0, _number("m", positive=True),
                                 "length of the automatic reference interval (m)"),
        "reference_value": Field(1.0, _number(positive=True),
                                 "backscatter ratio (beta_a + beta_m) / beta_m in the "
                                 "reference interval; 1 for clean air"),
        "reference_value_uncertainty": Field(0.0, _number(minimum=0.0),
                                             "its standard uncertainty"),
        "cloud_lidar_ratio": Field(None, _optional(_number("sr", positive=True)),
                                   "lidar ratio used inside the clouds found (sr), where the "
                                   "inversion runs through one (a reference above a cloud); "
                                   "default: lidar_ratio everywhere"),
        "fit_offset": Field(True, _boolean,
                            "fit a residual background offset over the reference interval "
                            "together with the calibration, and remove it"),
    },
    "raman": {
        "elastic": Field(None, _text, "elastic channel id, e.g. \"355_gl\"", required=True),
        "raman": Field(None, _text, "nitrogen Raman channel id, e.g. \"387_gl\"",
                       required=True),
        "angstrom": Field(1.0, _number(),
                          "aerosol Angstrom exponent between the two wavelengths"),
        "angstrom_uncertainty": Field(0.0, _number(minimum=0.0),
                                      "its standard uncertainty"),
        "window": Field(300.0, _number("m", positive=True, maximum=_MAX_WINDOW),
                        "length of the sliding fit of the extinction derivative (m; at "
                        "most 10000)"),
        "reference": Field("auto", _reference, _REFERENCE_DOC),
        "reference_value": Field(1.0, _number(positive=True),
                                 "backscatter ratio in the reference interval"),
        "reference_value_uncertainty": Field(0.0, _number(minimum=0.0),
                                             "its standard uncertainty"),
    },
    "clouds": {
        "detect": Field(True, _boolean, "detect cloud layers (and the boundary-layer height) "
                        "in every profile"),
        "channel": Field("auto", _text, 'the elastic channel they are detected in; "auto": '
                         "the first Klett-Fernald channel, else the first elastic channel"),
        "search": Field([300.0, 20000.0], _interval, "ranges searched for clouds (m)"),
        "min_ratio": Field(1.5, _number(positive=True),
                           "a cloud's signal at least this many times the clear-air level"),
    },
    "boundary_layer": {
        "dilation": Field(300.0, _number("m", positive=True),
                          "dilation of the Haar wavelet covariance transform (m)"),
        "search": Field([300.0, 4000.0], _interval,
                        "ranges searched for the boundary-layer top (m)"),
    },
    "quality": {
        "min_snr": Field(3.0, _number(minimum=0.0),
                         "gates whose signal-to-noise ratio is below this are flagged low_snr"),
        "min_range": Field(0.0, _number("m", minimum=0.0),
                           "gates nearer than this are flagged below_full_overlap, as are "
                           "those below the full-overlap height when it is known (m)"),
        "n_sigma": Field(2.0, _number(positive=True),
                         "backscatter or extinction below -n_sigma times its uncertainty is "
                         "flagged implausible"),
        "lidar_ratio_range": Field([10.0, 150.0], _interval,
                                   "lidar ratios outside [low, high] (sr) are flagged "
                                   "implausible"),
    },
    "uncertainty": {
        "realisations": Field(100, _realisations,
                              "Monte Carlo realisations of each retrieval (2 to 100000); "
                              "0 for none"),
        "seed": Field(0, _integer(minimum=0), "seed of the Monte Carlo noise"),
    },
    "processing": {
        "block": Field(100, _integer(minimum=1),
                       "raw profiles per unit of work (what one Dask task processes); the "
                       "products do not depend on it.  Each block costs about 0.1 s of its "
                       "own and holds its working arrays while it runs: 100 is faster than "
                       "30 at no more memory (docs/guide/performance.md)"),
        "max_range": Field(30000.0, _number("m", positive=True, allow_inf=True),
                           "farthest range along the beam kept in the products (m; inf for "
                           "every bin; the corrections see every bin regardless)"),
        "threads": Field(0, _integer(minimum=0, maximum=MAX_THREADS),
                         "threads of the numerical core in each process; 0 for all cores"),
    },
    "output": {
        "compression": Field("zstd", _compression,
                             'lossless compression of the netCDF variables: "zstd" (fast; '
                             'readers need netCDF-C 4.9 with its zstd filter), "zlib" (read '
                             'everywhere) or "none"; a number 0 to 9 is a zlib level'),
        "level": Field(None, _optional(_integer(minimum=1, maximum=ZSTD_MAX_LEVEL)),
                       "the compressor's level: zstd 1 to 22 (default 1), zlib 1 to 9 "
                       "(default 4)"),
    },
}

#: Cross-field checks of a table, after each field's own: table name to a function of
#: the filled table that raises _Invalid("field: reason").
_TABLE_CHECKS: dict[str, Callable[[dict[str, Any]], None]] = {"output": _check_output}

#: Tables given as a list of tables (``[[raman]]``); the others appear once.
_ARRAYS = {"raman"}
#: Tables whose fields belong to another function and are checked against its signature.
_PASSTHROUGH = {"corrections"}
#: Tables given as a list of tables whose fields another module defines and checks.
_DELEGATED = {"depolarization"}


def _delegated_table(table: str, value: dict[str, Any], where: str) -> dict[str, Any]:
    """A ``[[depolarization]]`` table checked by its module (a ValueError naming `where`);
    kept as written, so that the effective configuration stays plain TOML values."""
    from Aerolume import depolarization
    try:
        depolarization.check_table(value, where)
    except ValueError as err:
        raise ConfigError(str(err)) from None
    return copy.deepcopy(value)


@dataclasses.dataclass
class Config:
    """A checked configuration.

    Attributes
    ----------
    tables : dict
        Table name to its fields, every default filled in (``raman`` to a list of tables).
    source : pathlib.Path or None
        The file it came from; None for the defaults alone.
    text : str
        The file's text as given ("" for the defaults).
    """
    tables: dict[str, Any]
    source: pathlib.Path | None = None
    text: str = ""

    def __getitem__(self, table: str) -> Any:
        return self.tables[table]

    @property
    def name(self) -> str:
        """How errors name the configuration: its file name, or "the defaults"."""
        return str(self.source) if self.source is not None else "the defaults"

    def error(self, where: str, reason: str) -> ConfigError:
        """A ConfigError naming this configuration's file and `where` (a table or field)."""
        return ConfigError(f"{self.name}: {where}: {reason}")

    def resolve(self, value: str) -> pathlib.Path:
        """A path of the configuration, relative to the configuration file's folder."""
        path = pathlib.Path(value).expanduser()
        if not path.is_absolute() and self.source is not None:
            path = self.source.parent / path
        return path

    def effective(self) -> str:
        """Every field with the value in use, defaults included, as JSON (for provenance)."""
        def plain(value: object) -> object:
            if isinstance(value, float) and not math.isfinite(value):
                return str(value)
            if isinstance(value, dict):
                return {k: plain(v) for k, v in value.items()}
            if isinstance(value, list):
                return [plain(v) for v in value]
            return value
        return json.dumps(plain(self.tables), sort_keys=True)


def load_config(path: str | os.PathLike[str] | None = None) -> Config:
    """Reads and checks a configuration file.

    Parameters
    ----------
    path : path-like or None
        The TOML file; None gives the defaults.

    Returns
    -------
    Config
        Every table with every field, defaults filled in.

    Raises
    ------
    ConfigError
        The file is missing or unreadable, is not TOML, or has an unknown table or field,
        a value of the wrong type or outside its range; the message names the file and
        the field.  The ``[corrections]`` table is checked later, against the correction
        function's own parameters (:func:`check_corrections`).
    """
    if path is None:
        return Config(_fill({}, None))
    source = pathlib.Path(path)
    try:
        # (A byte-order mark, as some editors write, is no part of the TOML.)
        text = source.read_text(encoding="utf-8-sig")
    except FileNotFoundError:
        raise ConfigError(f"{source}: no such configuration file") from None
    except (OSError, UnicodeDecodeError) as err:
        raise ConfigError(f"{source}: cannot read the configuration: "
                          f"{getattr(err, 'strerror', None) or err}") from None
    try:
        given = tomllib.loads(text)
    except tomllib.TOMLDecodeError as err:
        raise ConfigError(f"{source}: not valid TOML: {err}") from None
    return Config(_fill(given, source), source, text)


def _fill(given: dict[str, Any], source: pathlib.Path | None) -> dict[str, Any]:
    name = str(source) if source is not None else "the defaults"
    known = set(SCHEMA) | _PASSTHROUGH | _DELEGATED
    tables: dict[str, Any] = {}
    for table, value in given.items():
        if table not in known:
            raise ConfigError(f"{name}: [{table}]: unknown table (known: "
                              f"{', '.join(sorted(known))})")
        if table in _ARRAYS | _DELEGATED:
            if isinstance(value, dict):
                value = [value]
            if not isinstance(value, list) or not all(isinstance(v, dict) for v in value):
                raise ConfigError(f"{name}: [[{table}]]: must be tables ([[{table}]] headers)")
        elif not isinstance(value, dict):
            raise ConfigError(f"{name}: {table}: must be a table ([{table}]), got "
                              f"{_show(value)}")
    for table in sorted(known):
        value = given.get(table)
        if table in _PASSTHROUGH:
            tables[table] = copy.deepcopy(value or {})
        elif table in _DELEGATED:
            # (left out when not given: the effective configuration of a night without
            # one stays as it was)
            if value:
                tables[table] = [_delegated_table(table, v, f"{name}: [[{table}]] #{i + 1}")
                                 for i, v in enumerate(value)]
        elif table in _ARRAYS:
            tables[table] = [_fill_table(table, v, name, f"[[{table}]] #{i + 1}")
                             for i, v in enumerate(value or [])]
        else:
            tables[table] = _fill_table(table, value or {}, name, f"[{table}]")
    return tables


def _fill_table(table: str, given: dict[str, Any], name: str, where: str) -> dict[str, Any]:
    fields = SCHEMA[table]
    filled: dict[str, Any] = {}
    for key in given:
        if key not in fields:
            raise ConfigError(f"{name}: {where} {key}: unknown field (known: "
                              f"{', '.join(fields)})")
    for key, field in fields.items():
        if key not in given:
            if field.required:
                raise ConfigError(f"{name}: {where} {key}: missing ({field.doc})")
            filled[key] = copy.deepcopy(field.default)
            continue
        try:
            filled[key] = field.check(given[key])
        except _Invalid as err:
            raise ConfigError(f"{name}: {where} {key}: {err}") from None
    check = _TABLE_CHECKS.get(table)
    if check is not None:
        try:
            check(filled)
        except _Invalid as err:
            raise ConfigError(f"{name}: {where} {err}") from None
    return filled


def check_corrections(config: Config, correct: Callable[..., object]) -> dict[str, Any]:
    """The ``[corrections]`` table checked against `correct`'s keyword parameters.

    Returns the table with the defaults of the parameters it leaves out filled in (for
    the provenance), or raises ConfigError naming the first field `correct` does not take.
    """
    import inspect

    parameters = inspect.signature(correct).parameters
    names = [n for n, p in parameters.items()
             if p.kind is inspect.Parameter.KEYWORD_ONLY
             or (p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and n not in ("ds", "data"))]
    names = [n for n in names if n not in ("threads",)]
    given = config["corrections"]
    for key in given:
        if key not in names:
            raise config.error(f"[corrections] {key}",
                               f"unknown field (known: {', '.join(names)})")
    for key, check in _CORRECTION_CHECKS.items():
        if key in given:
            try:
                check(given[key])
            except _Invalid as err:
                raise config.error(f"[corrections] {key}", str(err)) from None
    filled: dict[str, Any] = {}
    for n in names:
        if n in given:
            filled[n] = given[n]
        elif parameters[n].default is not inspect.Parameter.empty:
            filled[n] = parameters[n].default
    return filled


def _dead_time(value: object) -> None:
    """A number of ns or "auto" (calibrated on the night), or a table of them per channel
    id."""
    values: Iterable[tuple[object, object]] = \
        value.items() if isinstance(value, dict) else [(None, value)]
    for channel, v in values:
        where = f"[{channel!r}] " if channel is not None else ""
        if v == "auto":
            continue
        try:
            _number("ns", minimum=0.0)(v)
        except _Invalid as err:
            raise _Invalid(f'{where}{err} (a number or "auto", or a table of them per '
                           "channel id)") from None


def _average(value: object) -> None:
    """The average's range part: a positive whole number of bins, at most a file's."""
    if isinstance(value, dict) and "range" in value:
        bins = value["range"]
        if isinstance(bins, bool) or not isinstance(bins, int) or not 1 <= bins <= _MAX_BINS:
            raise _Invalid(f"range must be a whole number of bins from 1 (no averaging) to "
                           f"{_MAX_BINS}, got {_show(bins)}")


#: Checks of [corrections] fields that need no data (the rest are checked against it).
_CORRECTION_CHECKS = {"dead_time": _dead_time, "average": _average}


def default_config_text() -> str:
    """A configuration file with every field at its default, each documented.

    Returns
    -------
    str
        The TOML text that ``aerolume config`` prints.
    """
    import textwrap

    def doc(text: str) -> list[str]:
        return textwrap.wrap(text, 86, initial_indent="# ", subsequent_indent="# ")

    lines = ["# Aerolume processing configuration: every field at its default.",
             "# Delete what you do not change; the values in use are recorded in the products.",
             ""]
    for table, fields in SCHEMA.items():
        if table in _ARRAYS:
            lines += [f"# [[{table}]]: one table per retrieval (none by default):", "#",
                      f"# [[{table}]]"]
            for key, field in fields.items():
                value = "..." if field.required else _toml(field.default)
                lines += [f"# {key} = {value}"] + ["#   " + d[2:] for d in doc(field.doc)]
            lines.append("")
            continue
        if table == "uncertainty":
            lines += _delegated_text(doc)
        lines.append(f"[{table}]")
        for key, field in fields.items():
            lines += doc(field.doc)
            lines.append(f"# {key} = ..." if field.default is None
                         else f"{key} = {_toml(field.default)}")
        lines.append("")
        if table == "station":
            lines += ["[corrections]",
                      "# The keyword arguments of Aerolume.preprocess.correct, one to one, e.g.",
                      "# dead_time = 3.7, glue = true, average = { time = \"10min\" };",
                      "# see help(Aerolume.preprocess.correct).", ""]
    return "\n".join(lines)


def _delegated_text(doc: Callable[[str], list[str]]) -> list[str]:
    """The commented ``[[depolarization]]`` table of :func:`default_config_text`."""
    from Aerolume.depolarization import TABLE_FIELDS

    lines = ["# [[depolarization]]: one table per depolarisation channel pair (none by "
             "default); give", "# one calibration: plus45 and minus45 files, eta, "
             "molecular_reference, or a history:", "#", "# [[depolarization]]"]
    for key, (default, text) in TABLE_FIELDS.items():
        value = "..." if default is None or default == "" else _toml(default)
        lines += [f"# {key} = {value}"] + ["#   " + d[2:] for d in doc(text)]
    return lines + [""]


def _toml(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, list):
        return "[" + ", ".join(_toml(v) for v in value) + "]"
    return str(value)
