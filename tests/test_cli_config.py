"""The processing configuration: defaults, checks naming file and field, provenance text."""

import json

import pytest

from Aerolume.processing.config import ConfigError, check_corrections, default_config_text, load_config


def write(tmp_path, text, name="station.toml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


def test_defaults_and_the_printed_file_agree(tmp_path):
    defaults = load_config()
    assert defaults["klett"]["lidar_ratio"] == 50.0
    assert defaults["raman"] == [] and defaults["corrections"] == {}
    assert defaults["processing"]["max_range"] == 30000.0
    # The documented file that `aerolume config` prints loads back to the same values.
    printed = load_config(write(tmp_path, default_config_text()))
    assert printed.effective() == defaults.effective()
    far = load_config(write(tmp_path, "[processing]\nmax_range = inf\n"))
    assert json.loads(far.effective())["processing"]["max_range"] == "inf"


def test_given_values_are_kept_and_the_rest_filled(tmp_path):
    cfg = load_config(write(tmp_path, """
        [klett]
        lidar_ratio = 55          # an integer is a number
        reference = [6000, 8000]
        [[raman]]
        elastic = "355_gl"
        raman = "387_gl"
        [corrections]
        glue = { window = [0.5, 15.0] }
        [atmosphere]
        sounding = "sonde.txt"
    """))
    assert cfg["klett"]["lidar_ratio"] == 55.0
    assert cfg["klett"]["reference"] == [6000.0, 8000.0]
    assert cfg["klett"]["reference_value"] == 1.0
    assert cfg["raman"] == [dict(elastic="355_gl", raman="387_gl", angstrom=1.0,
                                 angstrom_uncertainty=0.0, window=300.0, reference="auto",
                                 reference_value=1.0, reference_value_uncertainty=0.0)]
    assert cfg["corrections"] == {"glue": {"window": [0.5, 15.0]}}
    # Paths are relative to the configuration's folder, not the working directory.
    assert cfg.resolve(cfg["atmosphere"]["sounding"]) == tmp_path / "sonde.txt"
    assert "lidar_ratio = 55" in cfg.text


@pytest.mark.parametrize("text, names", [
    ("[klett]\nlidar_raito = 50\n", "[klett] lidar_raito: unknown field"),
    ("[klet]\nlidar_ratio = 50\n", "[klet]: unknown table"),
    ("[klett]\nlidar_ratio = -5\n", "[klett] lidar_ratio: must be positive (sr), got -5.0"),
    ("[klett]\nlidar_ratio = \"fifty\"\n", "[klett] lidar_ratio: must be a number (sr)"),
    ("[klett]\nlidar_ratio = true\n", "[klett] lidar_ratio: must be a number"),
    ("[klett]\nlidar_ratio = nan\n", "[klett] lidar_ratio: must be a finite number"),
    ("[klett]\nreference = [8000, 6000]\n",
     "[klett] reference: must be \"auto\" or [bottom, top]"),
    ("[klett]\nchannels = [\"355_an\", \"355_an\"]\n",
     "[klett] channels: names a channel twice"),
    ("[atmosphere]\nline = \"rotational\"\n",
     "[atmosphere] line: must be one of 'total', 'cabannes'"),
    ("[station]\nzenith_angle = 90\n", "[station] zenith_angle: must be below 90"),
    ("[uncertainty]\nrealisations = 1.5\n", "[uncertainty] realisations: must be an integer"),
    ("[uncertainty]\nrealisations = 1\n",
     "realisations: must be 0 (no uncertainties) or at least 2"),
    ("[output]\ncompression = 10\n",
     "[output] compression: must be \"zstd\", \"zlib\", \"none\" or a zlib level from 0 to 9"),
    ("[output]\ncompression = \"lz4\"\n", "[output] compression: must be \"zstd\""),
    ("[output]\ncompression = \"zlib\"\nlevel = 12\n",
     "[output] level: zlib levels go from 1 to 9, got 12"),
    ("[output]\ncompression = \"none\"\nlevel = 3\n", "[output] level: applies to"),
    ("[output]\nlevel = 23\n", "[output] level: must be an integer from 1 to 22"),
    ("[[raman]]\nelastic = \"355_gl\"\n", "[[raman]] #1 raman: missing"),
    ("[[raman]]\nelastic = \"355_gl\"\nraman = \"387_gl\"\nwindow = 0\n",
     "[[raman]] #1 window: must be positive"),
    ("klett = 3\n", "klett: must be a table"),
    ("[klett\n", "not valid TOML"),
])
def test_a_wrong_field_names_the_file_and_the_field(tmp_path, text, names):
    path = write(tmp_path, text)
    with pytest.raises(ConfigError) as caught:
        load_config(path)
    message = str(caught.value)
    assert message.startswith(f"{path}: ") and names in message
    assert "\n" not in message


def test_unreadable_configurations(tmp_path):
    with pytest.raises(ConfigError, match="no such configuration file"):
        load_config(tmp_path / "missing.toml")
    with pytest.raises(ConfigError, match="cannot read"):
        load_config(write(tmp_path, "").parent)  # a folder
    bad = tmp_path / "latin1.toml"
    bad.write_bytes(b"[station]\n# caf\xe9\n")
    with pytest.raises(ConfigError, match="cannot read"):
        load_config(bad)


def test_corrections_are_checked_against_the_function(tmp_path):
    def correct(ds, *, dead_time=None, background=(-1000, None), threads=None):
        return ds

    cfg = load_config(write(tmp_path, "[corrections]\ndead_time = 3.7\n"))
    # The provenance gets every parameter, the defaults of those not given included.
    assert check_corrections(cfg, correct) == {"dead_time": 3.7, "background": (-1000, None)}
    cfg = load_config(write(tmp_path, "[corrections]\ndeadtime = 3.7\n"))
    with pytest.raises(ConfigError, match=r"station.toml: \[corrections\] deadtime: unknown "
                                          r"field \(known: dead_time, background\)"):
        check_corrections(cfg, correct)
