"""Prints the README's table of Rayleigh cross-sections of air: the two methods of
Aerolume.atmosphere and the fixed law of Aerolume.lumafit, at the common lidar
wavelengths, as Markdown.

    python scripts/cross-section-table.py

The README's "Molecular atmosphere" section holds this output verbatim (a test checks it).
"""
import sys
import warnings

from Aerolume import atmosphere, lumafit

WAVELENGTHS = (355e-9, 532e-9, 1064e-9)


def table() -> str:
    rows = [
        "| λ (nm) | σ, first principles (m²) | σ, Bucholtz (m²) | Bucholtz vs first principles "
        "| σ_π, first principles (m² sr⁻¹) | `lumafit` law (m² sr⁻¹) | law vs first principles |",
        "|---|---|---|---|---|---|---|",
    ]
    for wavelength in WAVELENGTHS:
        first = atmosphere.rayleigh_cross_section(wavelength)
        bucholtz = atmosphere.rayleigh_cross_section(wavelength, method="bucholtz")
        back = atmosphere.rayleigh_backscatter_cross_section(wavelength)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            law = float(lumafit.rayleigh_scattering_cross_section(wavelength))
        rows.append(f"| {wavelength * 1e9:.0f} | {first:.4e} | {bucholtz:.4e} "
                    f"| {bucholtz / first - 1:+.2%} | {back:.4e} | {law:.4e} "
                    f"| {law / back - 1:+.1%} |")
    return "\n".join(rows)


if __name__ == "__main__":
    sys.stdout.write(table() + "\n")
