"""Plain-Python transcription of the algorithms of Aerolume.lumafit and
Aerolume.lumaclean, statement for statement, for benchmarking the native modules.

Never imported by the package.  The mended behaviours of the native modules (the
molecular model's exponent and band constants, float results for integer range arrays,
pairing of heights with samples) are transcribed too, so both compute the same thing.
"""
import numpy as np
from scipy.integrate import quad
from scipy.optimize import curve_fit


def _zeros_like_float(x):
    zeros = np.zeros_like(x)
    if zeros.dtype.kind in "biu":
        return zeros.astype("float64")
    return zeros


# ---- lumafit ----

def rayleigh_scattering_cross_section(wavelength):
    sigma = ((5.5e-7 / wavelength) ** 4) * 5.45e-32
    return sigma


def molecular_number_density(altitude):
    R0 = 6356.766
    rho_SL = 1.225
    m = 4.8096e-26
    H = altitude / (1 + altitude / R0)
    if altitude <= 11.0191:
        W = 1 - H / 44.3308
        rho = rho_SL * W ** 4.2559
    elif altitude <= 20.0631:
        W = np.exp((14.9647 - H) / 6.3416)
        rho = rho_SL * 0.15898 * W
    elif altitude <= 32.1619:
        W = 1 + (H - 24.902) / 221.552
        rho = rho_SL * 0.032722 * W ** -35.1629
    else:
        raise ValueError("Altitude out of range for US1976 model")
    N = rho / m
    return N


def rayleigh_scattering_coefficient(wavelength, altitude):
    sigma = rayleigh_scattering_cross_section(wavelength)
    N = molecular_number_density(altitude)
    beta_m = sigma * N
    return beta_m


def molecular_extinction_coefficient(wavelength, altitude):
    return rayleigh_scattering_coefficient(wavelength, altitude)


def distance_square_corrected_signal(signal, distances):
    D_z = signal * (distances ** 2)
    return D_z


def theoretical_rayleigh_signal(distances, wavelength):
    signal = _zeros_like_float(distances)
    for i, d in enumerate(distances):
        altitude = (d + 50) / 1000
        signal[i] = rayleigh_scattering_coefficient(wavelength, altitude)
    return signal


def fit_func(distances, C, wavelength):
    theoretical_signal = theoretical_rayleigh_signal(distances, wavelength)
    fitted_signal = (C * theoretical_signal) / (distances ** 2)
    return fitted_signal


def integral_extinction_coefficient(altitudes, alpha_M, alpha_A):
    integral_alpha_M = _zeros_like_float(altitudes)
    integral_alpha_A = _zeros_like_float(altitudes)
    for i, alt in enumerate(altitudes):
        integral_alpha_M[i], _ = quad(lambda Z: alpha_M, 0, alt)
        integral_alpha_A[i], _ = quad(lambda Z: alpha_A, 0, alt)
    return integral_alpha_M, integral_alpha_A


def rayleigh_fit(lidar_signal, distances, wavelength):
    D_z = distance_square_corrected_signal(lidar_signal, distances)
    fit_range = (distances >= 8000) & (distances <= 10000)
    fit_distances = distances[fit_range]
    fit_D_z = D_z[fit_range]
    popt, _ = curve_fit(lambda d, C: fit_func(d, C, wavelength), fit_distances, fit_D_z)
    C = popt[0]
    D_prime_z = C * theoretical_rayleigh_signal(distances, wavelength) / distances ** 2
    alpha_M = 1e-4
    alpha_A = 1e-4
    altitudes = (distances + 50) / 1000
    integral_alpha_M, integral_alpha_A = integral_extinction_coefficient(altitudes, alpha_M, alpha_A)
    beta_A = _zeros_like_float(distances)
    for i in range(1, len(distances)):
        beta_A[i] = (D_z[i] - D_prime_z[i] * np.exp(-2 * integral_alpha_M[i])) / (
            C * np.exp(-2 * integral_alpha_A[i]))
    return beta_A, C


# ---- lumaclean ----

def calculate_data_points(distance_resolution, max_distance):
    return int(max_distance / distance_resolution)


def remove_background_and_noise(data, background_start_idx, background_end_idx, sigma_factor=3):
    background = np.mean(data[background_start_idx:background_end_idx])
    noise = np.std(data[background_start_idx:background_end_idx]) / 10
    print("noise is:", noise)
    print("background is:", background)
    print("data is", data)
    filtered_data = []
    for indi_data in data:
        filtered_data.append(indi_data - background)
    valid_data = []
    for indi_data in filtered_data:
        if indi_data >= sigma_factor * noise:
            valid_data.append(indi_data)
    print(valid_data)
    return valid_data, background, noise


def distance_zero_point_calibration(data, nominal_peak_height):
    first_peak_idx = np.argmax(data)
    first_peak_height = first_peak_idx * nominal_peak_height
    real_heights = np.arange(len(data)) * nominal_peak_height - first_peak_height
    return real_heights, first_peak_height


def distance_square_correction(data, transmit_signal, heights):
    if np.ndim(heights) == 0:
        corrected_data = [data_i / transmit_signal * heights ** 2 for data_i in data]
    else:
        if len(data) != len(heights):
            raise ValueError("lengths differ")
        corrected_data = [data_i / transmit_signal * heights[i] ** 2 for i, data_i in enumerate(data)]
    return corrected_data


def overlap_factor_correction(data, overlap_factors):
    corrected_data = data / overlap_factors
    return corrected_data
