"""The pipeline's retrievals as they were made before they ran in one core call per
channel per block: one call of the public functions per profile, each with its own seed.
The block path of Aerolume.processing.products must give exactly these results."""


import numpy as np

from Aerolume.processing.products import (MIN_GATES, _finite_from, _monte_carlo, _snr, _warn_missing,
                               profile_seed)


def retrieve_per_profile(corrected, molecular_ds, settings):
    """Aerolume.processing.products.retrieve with the per-profile loops below."""
    from Aerolume.processing import products

    saved = products._klett, products._raman
    products._klett, products._raman = _klett, _raman
    try:
        return products.retrieve(corrected, molecular_ds, settings)
    finally:
        products._klett, products._raman = saved


def _reference(signal, rng, mol, noise, table: dict, klett: dict, cloud=(np.nan, np.nan)):
    """One profile's reference interval: (interval (2,), found, why not).  The automatic
    search avoids the lowest cloud (base, top; NaN: none): below it where the search
    leaves room there, else above it."""
    from Aerolume.retrieval import find_reference

    none = np.array([np.nan, np.nan])
    if table["reference"] != "auto":
        bottom, top = table["reference"]
        if bottom < rng[0] or top > rng[-1]:
            return none, False, (f"the reference [{bottom:g}, {top:g}] m is outside the "
                                 f"finite signal ({rng[0]:g} to {rng[-1]:g} m)")
        return np.array([bottom, top]), True, ""
    low = max(klett["reference_search"][0], float(rng[0]))
    high = min(klett["reference_search"][1], float(rng[-1]))
    base, top = cloud
    ceiling = np.nan
    if np.isfinite(base):
        if base - low >= klett["reference_width"]:
            high = min(high, base)
            ceiling = base
        else:
            low = max(low, top)
    if not high - low >= klett["reference_width"]:
        return none, False, (f"the finite signal ({rng[0]:g} to {rng[-1]:g} m) leaves no "
                             f"{klett['reference_width']:g} m of the reference search"
                             + (" outside the clouds" if np.isfinite(base) else ""))
    found = find_reference(signal[None], rng, mol, search=(low, high),
                           width=klett["reference_width"], noise=noise[None],
                           ceiling=ceiling)
    if not bool(found.found[0]):
        return none, False, found.reason_text()
    return np.asarray(found.interval[0], dtype=float), True, ""


def _klett(out, klett, inputs, *, rng, times, seed, settings, stamp, full_overlap, clouds,
           lowest):
    from Aerolume import quality, retrieval

    names = ("backscatter", "extinction", "backscatter_uncertainty",
             "extinction_uncertainty")
    results = {name: [] for name in names}
    references, offsets, flags = [], [], []
    threads = settings.threads or None
    for channel in klett["channels"]:
        signal, noise, mol, n = inputs(channel)
        values = {name: np.full(signal.shape, np.nan) for name in names}
        reference = np.full(signal.shape[:-1] + (2,), np.nan)
        offset = np.full(signal.shape[:-1], np.nan)
        reasons = []
        starts = _finite_from(signal, n)
        for p, s in enumerate(starts):
            if n - s < MIN_GATES:
                reasons.append(f"fewer than {MIN_GATES} finite gates")
                continue
            cut = {k: v[s:n] for k, v in mol.items()}
            interval, found, why = _reference(signal[p, s:n], rng[s:n], cut, noise[p, s:n],
                                              klett, klett, lowest[p])
            if not found:
                reasons.append(why)
                continue
            reference[p] = interval
            mc = None if seed is None else _monte_carlo(
                settings, profile_seed(seed, times[p], channel), noise=noise[p:p + 1, s:n],
                lidar_ratio=klett["lidar_ratio_uncertainty"],
                reference_value=klett["reference_value_uncertainty"])
            ratio = klett["lidar_ratio"]
            if klett.get("cloud_lidar_ratio") is not None and "cloud_mask" in clouds:
                ratio = np.where(clouds["cloud_mask"][p, s:n], klett["cloud_lidar_ratio"],
                                 ratio)
            res = retrieval.klett_fernald(signal[p:p + 1, s:n], rng[s:n], cut,
                                          ratio, tuple(interval),
                                          klett["reference_value"],
                                          fit_offset=klett["fit_offset"], uncertainty=mc,
                                          threads=threads)
            for name in names:
                if name in res:
                    values[name][p, s:n] = np.asarray(res[name].values)[0]
            offset[p] = float(np.ravel(res["reference_offset"].values)[0])
        _warn_missing(len(reasons), signal.shape[0], reasons, f"Klett-Fernald {channel}",
                      stamp)
        for name in names:
            results[name].append(values[name])
        references.append(reference)
        offsets.append(offset)
        sd = values["backscatter_uncertainty"] if seed is not None else None
        flags.append(quality.flags(
            rng, full_overlap=full_overlap, snr=_snr(signal, noise),
            reference_found=np.isfinite(reference[:, 0]),
            backscatter=(values["backscatter"], sd),
            extinction=(values["extinction"],
                        values["extinction_uncertainty"] if seed is not None else None),
            retrieved=np.isfinite(values["backscatter"]), settings=settings.quality,
            **clouds))

    dims = ("time", "klett_channel", "range")
    units = {"backscatter": "m-1 sr-1", "extinction": "m-1"}
    for name in names:
        base = name.replace("_uncertainty", "")
        long_name = f"aerosol {base} coefficient (Klett-Fernald)"
        if name.endswith("_uncertainty"):
            if seed is None:
                continue
            long_name = "standard deviation of the " + long_name
        out[name] = (dims, np.stack(results[name], axis=1),
                     {"units": units[base], "long_name": long_name,
                      "lidar_ratio_sr": klett["lidar_ratio"],
                      "reference_value": klett["reference_value"]})
    reference = np.stack(references, axis=1)
    for k, edge in enumerate(("bottom", "top")):
        out[f"reference_{edge}"] = (("time", "klett_channel"), reference[..., k],
                                    {"units": "m", "long_name": f"{edge} of the reference "
                                     "interval along the beam (NaN: none found)"})
    out["reference_offset"] = (("time", "klett_channel"), np.stack(offsets, axis=1),
                               {"units": "1", "long_name": "residual background offset "
                                "fitted over the reference interval and removed (signal "
                                "units of the channel; 0: not fitted)"})
    out["quality_flag"] = (dims, np.stack(flags, axis=1),
                           quality.flag_attributes("Klett-Fernald"))
    return out.assign_coords(klett_channel=("klett_channel",
                                            np.array(klett["channels"], dtype=object)))


def _raman(out, corrected, molecular_ds, inputs, *, rng, times, seed, settings, stamp,
           full_overlap, clouds, lowest):
    from Aerolume import atmosphere, quality, retrieval

    names = ("extinction", "backscatter", "lidar_ratio", "extinction_uncertainty",
             "backscatter_uncertainty", "lidar_ratio_uncertainty",
             "extinction_statistical_error", "effective_resolution", "failed_realisations")
    results = {name: [] for name in names}
    flags = []
    threads = settings.threads or None
    station = float(molecular_ds.attrs["station_altitude"])
    zenith = float(molecular_ds.attrs["zenith_angle"])
    model = (atmosphere.sounding(*settings.atmosphere["sounding"])
             if settings.atmosphere.get("sounding") is not None
             else atmosphere.standard_atmosphere)
    for pair in settings.raman:
        elastic, raman = pair["elastic"], pair["raman"]
        e_signal, e_noise, _, n_e = inputs(elastic)
        r_signal, r_noise, _, n_r = inputs(raman)
        n = min(n_e, n_r)
        w0 = float(corrected["wavelength"].sel(channel=elastic).values)
        wr_header = float(corrected["wavelength"].sel(channel=raman).values)
        wr = float(np.ravel(retrieval.raman_wavelength(w0))[0])
        if abs(wr - wr_header) > 2e-9:
            wr = wr_header  # not the nitrogen line of this laser: trust the header
        # The molecular atmosphere at the emitted and at the exact Raman wavelength.
        mol_e = atmosphere.molecular_profile(rng[:n], w0, atmosphere=model,
                                             station_altitude=station, zenith_angle=zenith,
                                             line=settings.atmosphere["line"],
                                             threads=threads)
        mol_r = atmosphere.molecular_profile(rng[:n], wr, atmosphere=model,
                                             station_altitude=station, zenith_angle=zenith,
                                             threads=threads)
        common = dict(wavelength=w0, raman_wavelength=wr, threads=threads)
        values = {name: np.full(e_signal.shape, np.nan) for name in names}
        found_reference = np.zeros(e_signal.shape[0], dtype=bool)
        reasons = []
        starts = np.maximum(_finite_from(e_signal, n), _finite_from(r_signal, n))
        for p, s in enumerate(starts):
            if n - s < MIN_GATES:
                reasons.append(f"fewer than {MIN_GATES} finite gates")
                continue
            gates = slice(s, n)
            me, mr = mol_e.isel(range=gates), mol_r.isel(range=gates)
            window = np.full(n - s, pair["window"])
            mc = None if seed is None else _monte_carlo(
                settings, profile_seed(seed, times[p], f"{elastic}/{raman}"),
                noise=e_noise[p:p + 1, gates], raman_noise=r_noise[p:p + 1, gates],
                reference_value=pair["reference_value_uncertainty"],
                angstrom=pair["angstrom_uncertainty"])
            # The extinction needs no reference; alone, it gives the analytic statistical
            # error of its fit.
            found_values = [retrieval.raman_extinction(
                r_signal[p:p + 1, gates], rng[gates], me, mr, pair["angstrom"], window,
                noise=r_noise[p:p + 1, gates], **common)]
            interval, found, why = _reference(e_signal[p, gates], rng[gates], me,
                                              e_noise[p, gates], pair, settings.klett,
                                              lowest[p])
            found_reference[p] = found
            if found:
                found_values.append(retrieval.raman_retrieval(
                    e_signal[p:p + 1, gates], r_signal[p:p + 1, gates], rng[gates], me, mr,
                    tuple(interval), pair["reference_value"], pair["angstrom"], window,
                    uncertainty=mc, **common))
            else:
                reasons.append(why)
                if mc is not None:
                    found_values.append(retrieval.raman_extinction(
                        r_signal[p:p + 1, gates], rng[gates], me, mr, pair["angstrom"],
                        window, uncertainty=mc, **common))
            for res in found_values:
                for name in names:
                    if name in res:
                        values[name][p, gates] = np.ravel(np.asarray(res[name].values))
        _warn_missing(len(reasons), e_signal.shape[0], reasons, f"Raman {elastic}/{raman}",
                      stamp)
        for name in names:
            results[name].append(values[name])
        extinction_sd = (values["extinction_uncertainty"] if seed is not None
                         else values["extinction_statistical_error"])
        flags.append(quality.flags(
            rng, full_overlap=full_overlap,
            snr=np.minimum(_snr(e_signal, e_noise), _snr(r_signal, r_noise)),
            reference_found=found_reference,
            backscatter=(values["backscatter"],
                         values["backscatter_uncertainty"] if seed is not None else None),
            extinction=(values["extinction"], extinction_sd),
            lidar_ratio=values["lidar_ratio"],
            retrieved=np.isfinite(values["extinction"]) | np.isfinite(values["backscatter"]),
            settings=settings.quality, **clouds))

    units = {"extinction": "m-1", "backscatter": "m-1 sr-1", "lidar_ratio": "sr",
             "effective_resolution": "m", "extinction_statistical_error": "m-1",
             "failed_realisations": "1"}
    long_names = {"extinction": "aerosol extinction coefficient (Raman method)",
                  "backscatter": "aerosol backscatter coefficient (Raman method)",
                  "lidar_ratio": "aerosol extinction-to-backscatter ratio (Raman method)",
                  "effective_resolution": "effective vertical resolution of the Raman "
                                          "extinction",
                  "extinction_statistical_error": "statistical error of the Raman extinction "
                                                  "(the signal noise propagated through the "
                                                  "fit)",
                  "failed_realisations": "Monte Carlo realisations of the Raman method that "
                                         "failed at the gate (the uncertainties are the "
                                         "robust spread of the others)"}
    for name in names:
        base = name.replace("_uncertainty", "")
        long_name = long_names[base]
        if name.endswith("_uncertainty") or name == "failed_realisations":
            if settings.uncertainty["realisations"] == 0:
                continue
            if name != "failed_realisations":
                long_name = "standard deviation of the " + long_name
        stacked = np.stack(results[name], axis=1)
        if name == "failed_realisations":
            stacked = np.where(np.isfinite(stacked), stacked, 0).astype(np.int32)
        out[f"raman_{name}"] = (("time", "raman_channel", "range"), stacked,
                                {"units": units[base], "long_name": long_name})
    out["raman_quality_flag"] = (("time", "raman_channel", "range"), np.stack(flags, axis=1),
                                 quality.flag_attributes("Raman"))
    return out.assign_coords(
        raman_channel=("raman_channel", np.array([p["elastic"] for p in settings.raman],
                                                 dtype=object)),
        raman_signal_channel=("raman_channel", np.array([p["raman"] for p in settings.raman],
                                                        dtype=object)))
