// Aerolume._core: raw data files, their headers and reads of many (core/io/).
#include "binding.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "licel.h"
#include "parallel.h"

namespace aerolume::bindings {

using namespace nb::literals;

namespace {

// A new (rows,) array of T holding value(i).
template <class T, class Value>
nb::ndarray<nb::numpy, T> column(std::size_t rows, Value value) {
    auto [data, array] = traced_array<T>({rows});
    for (std::size_t i = 0; i < rows; ++i) data[i] = static_cast<T>(value(i));
    return array;
}

// A new (rows, columns) array of T holding value(i, k).
template <class T, class Value>
nb::ndarray<nb::numpy, T> table(std::size_t rows, std::size_t columns, Value value) {
    auto [data, array] = traced_array<T>({rows, columns});
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t k = 0; k < columns; ++k) data[i * columns + k] = static_cast<T>(value(i, k));
    return array;
}

// What a read of `paths` needs of its arguments: one header per path, and each channel's
// data set in every header, no longer than `gates`.
void check_read(const std::vector<std::string>& paths,
                const std::vector<aerolume::licel::Header>& headers,
                const std::vector<std::size_t>& set_of_channel, std::size_t gates,
                const std::string& function) {
    if (headers.size() != paths.size())
        throw std::invalid_argument(function + ": one header per path");
    for (const aerolume::licel::Header& h : headers)
        for (std::size_t s : set_of_channel)
            if (s >= h.sets.size() || static_cast<std::size_t>(h.sets[s].bins) > gates)
                throw std::invalid_argument(function + ": a channel's data set is not in a header");
}

// A read of raw files started on the core's workers (licel_read_start): the caller goes
// on with other work, and finish() reads the files no worker has taken, waits for the
// rest and hands out the arrays.
struct LicelReading {
    std::vector<std::string> paths;
    std::vector<aerolume::licel::Header> headers;
    std::vector<std::size_t> set_of_channel;
    nb::object raw, signal;
    std::unique_ptr<aerolume::licel::Reader> reader;
    // Last, so destroyed first: waits for the workers before what they write to goes.
    std::unique_ptr<aerolume::Background> background;

    nb::tuple finish() {
        if (!background) throw std::runtime_error("this read has finished already");
        {
            Interruptible unlocked;
            background->finish();
        }
        background.reset();
        nb::tuple out = nb::make_tuple(raw, signal, std::move(reader->errors()));
        raw = nb::object();
        signal = nb::object();
        reader.reset();
        return out;
    }
};

}  // namespace

void bind_raw_data(nb::module_& m) {
    namespace L = aerolume::licel;
    nb::class_<L::DataSet>(m, "LicelDataSet", "One data set (channel) of a raw file's header.")
        .def_ro("active", &L::DataSet::active)
        .def_ro("photon_counting", &L::DataSet::photon_counting)
        .def_ro("laser", &L::DataSet::laser, "Laser type (1, 2 or 3).")
        .def_ro("bins", &L::DataSet::bins)
        .def_ro("high_voltage", &L::DataSet::high_voltage, "Photomultiplier high voltage (V).")
        .def_ro("bin_width", &L::DataSet::bin_width, "Bin width (m).")
        .def_ro("wavelength", &L::DataSet::wavelength, "Wavelength (nm).")
        .def_prop_ro("polarization", [](const L::DataSet& s) { return std::string(1, s.polarization); })
        .def_ro("bin_shift", &L::DataSet::bin_shift)
        .def_ro("bin_shift_fraction", &L::DataSet::bin_shift_fraction)
        .def_ro("adc_bits", &L::DataSet::adc_bits)
        .def_ro("shots", &L::DataSet::shots)
        .def_ro("input_range", &L::DataSet::input_range,
                "Analog input range (V), or the discriminator level for photon counting.")
        .def_ro("device", &L::DataSet::device)
        .def_prop_ro("scale", &L::scale_of,
                     "Counts to signal: mV per shot (analog) or MHz (photon counting); NaN "
                     "without shots.");

    nb::class_<L::Header>(m, "LicelHeader", "A raw file's header.")
        .def_ro("file_name", &L::Header::file_name)
        .def_ro("site", &L::Header::site)
        .def_ro("start", &L::Header::start, "Start time (s since 1970-01-01, as written).")
        .def_ro("stop", &L::Header::stop, "Stop time (s since 1970-01-01, as written).")
        .def_ro("altitude", &L::Header::altitude, "Altitude above sea level (m).")
        .def_ro("longitude", &L::Header::longitude, "Longitude (deg).")
        .def_ro("latitude", &L::Header::latitude, "Latitude (deg).")
        .def_ro("zenith", &L::Header::zenith, "Zenith angle (deg).")
        .def_ro("azimuth", &L::Header::azimuth, "Azimuth angle (deg); NaN if absent.")
        .def_ro("temperature", &L::Header::temperature, "Temperature (degC); NaN if absent.")
        .def_ro("pressure", &L::Header::pressure, "Pressure (hPa); NaN if absent.")
        .def_ro("custom", &L::Header::custom)
        .def_prop_ro("laser_shots", [](const L::Header& h) {
            return std::make_tuple(h.laser_shots[0], h.laser_shots[1], h.laser_shots[2]);
        })
        .def_prop_ro("repetition_rate", [](const L::Header& h) {
            return std::make_tuple(h.repetition_rate[0], h.repetition_rate[1], h.repetition_rate[2]);
        }, "Laser repetition rates (Hz).")
        .def_ro("line3_extra", &L::Header::line3_extra)
        .def_ro("scan_line", &L::Header::scan_line,
                "Whether the header has the scan line of a scanning lidar.")
        .def_prop_ro("scan", [](const L::Header& h) {
            return std::make_tuple(h.scan[0], h.scan[1], h.scan[2], h.scan[3], h.scan[4],
                                   h.scan[5], h.scan[6]);
        }, "The scan line (deg): azimuth start, stop, step; zenith start, stop, step; "
           "azimuth offset.  NaN without one.")
        .def_ro("sets", &L::Header::sets, "The active data sets, in file order.")
        .def_ro("data_offset", &L::Header::data_offset)
        .def_ro("file_size", &L::Header::file_size);

    m.def("licel_scan", [](const std::vector<std::string>& paths, unsigned threads) {
        std::vector<L::Scan> found;
        {
            Interruptible unlocked;
            found = L::scan(paths, threads);
        }
        nb::list out;
        for (L::Scan& s : found) {
            if (s.error.empty())
                out.append(nb::make_tuple(nb::cast(std::move(s.header)), nb::none(), false));
            else
                out.append(nb::make_tuple(nb::none(), s.error, s.os_error));
        }
        return out;
    }, "paths"_a, "threads"_a,
    "Parses each file's header: a list of (header, None, False) or (None, why, is_os_error).");

    m.def("licel_same_channels", [](const std::vector<L::Header>& headers, const L::Header& reference) {
        std::vector<bool> same(headers.size());
        for (std::size_t i = 0; i < headers.size(); ++i) same[i] = L::same_channels(headers[i], reference);
        return same;
    }, "headers"_a, "reference"_a,
    "Per header, whether it announces the same channels as `reference`.");

    m.def("licel_fields", [](const std::vector<L::Header>& headers,
                             const std::vector<std::size_t>& set_of_channel) {
        const std::size_t n = headers.size(), channels = set_of_channel.size();
        if (n == 0) throw std::invalid_argument("licel_fields: no header");
        for (const L::Header& h : headers)
            for (std::size_t s : set_of_channel)
                if (s >= h.sets.size())
                    throw std::invalid_argument("licel_fields: a channel's data set is not in a header");
        const auto& h = headers;
        auto set = [&](std::size_t i, std::size_t c) -> const L::DataSet& {
            return h[i].sets[set_of_channel[c]];
        };
        auto texts = [](std::size_t count, auto&& value) {
            nb::list values;
            for (std::size_t i = 0; i < count; ++i) values.append(nb::cast(value(i)));
            return values;
        };
        constexpr std::int64_t ns = 1'000'000'000;  // (the parser admits only years that fit)
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        nb::dict out;
        // Per file.
        out["time"] = column<std::int64_t>(n, [&](std::size_t i) { return h[i].start * ns; });
        out["stop_time"] = column<std::int64_t>(n, [&](std::size_t i) { return h[i].stop * ns; });
        out["station_altitude"] = column<double>(n, [&](std::size_t i) { return h[i].altitude; });
        out["latitude"] = column<double>(n, [&](std::size_t i) { return h[i].latitude; });
        out["longitude"] = column<double>(n, [&](std::size_t i) { return h[i].longitude; });
        out["zenith_angle"] = column<double>(n, [&](std::size_t i) { return h[i].zenith; });
        out["azimuth_angle"] = column<double>(n, [&](std::size_t i) { return h[i].azimuth; });
        out["temperature"] = column<double>(n, [&](std::size_t i) { return h[i].temperature + 273.15; });
        out["pressure"] = column<double>(n, [&](std::size_t i) { return h[i].pressure * 100.0; });
        out["header_file_name"] = texts(n, [&](std::size_t i) { return h[i].file_name; });
        out["site"] = texts(n, [&](std::size_t i) { return h[i].site; });
        out["header_comment"] = texts(n, [&](std::size_t i) { return h[i].custom; });
        out["controller_info"] = texts(n, [&](std::size_t i) { return h[i].line3_extra; });
        out["scan_line"] = column<bool>(n, [&](std::size_t i) { return h[i].scan_line; });
        static constexpr const char* scan_names[7] = {
            "scan_azimuth_start", "scan_azimuth_stop", "scan_azimuth_step", "scan_zenith_start",
            "scan_zenith_stop", "scan_zenith_step", "azimuth_offset"};
        for (std::size_t k = 0; k < 7; ++k)
            out[scan_names[k]] = column<double>(n, [&](std::size_t i) { return h[i].scan[k]; });
        // Per file and laser.
        out["laser_shots"] = table<std::int64_t>(n, 3, [&](std::size_t i, std::size_t k) {
            return h[i].laser_shots[k];
        });
        out["repetition_rate"] = table<double>(n, 3, [&](std::size_t i, std::size_t k) {
            return h[i].repetition_rate[k];
        });
        // Per file and channel.
        out["shots"] = table<std::int64_t>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).shots;
        });
        out["high_voltage"] = table<double>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).high_voltage;
        });
        out["adc_bits"] = table<std::int64_t>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).adc_bits;
        });
        out["input_range"] = table<double>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).photon_counting ? nan : set(i, c).input_range;
        });
        out["discriminator_level"] = table<double>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).photon_counting ? set(i, c).input_range : nan;
        });
        out["bin_shift"] = table<std::int64_t>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).bin_shift;
        });
        out["bin_shift_decimals"] = table<std::int64_t>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).bin_shift_fraction;
        });
        // Per channel, as the first file has them (every file has the same channels).
        out["wavelength"] = column<double>(channels, [&](std::size_t c) {
            return static_cast<double>(set(0, c).wavelength) * 1e-9;
        });
        out["bin_width"] = column<double>(channels, [&](std::size_t c) { return set(0, c).bin_width; });
        out["bins"] = column<std::int64_t>(channels, [&](std::size_t c) { return set(0, c).bins; });
        out["laser_type"] = column<std::int64_t>(channels, [&](std::size_t c) { return set(0, c).laser; });
        out["photon_counting"] = column<bool>(channels, [&](std::size_t c) { return set(0, c).photon_counting; });
        out["recorder"] = texts(channels, [&](std::size_t c) { return set(0, c).device; });
        out["polarization"] = texts(channels, [&](std::size_t c) { return std::string(1, set(0, c).polarization); });
        return out;
    }, "headers"_a, "set_of_channel"_a,
    "The headers' fields as the columns of a Dataset, in SI units: arrays of one value per "
    "file (times in ns since 1970), per file and laser, per file and channel (channel c being "
    "data set set_of_channel[c]) or per channel, and lists of the text fields.");

    m.def("licel_read", [](const std::vector<std::string>& paths, const std::vector<L::Header>& headers,
                           const std::vector<std::size_t>& set_of_channel, std::size_t gates,
                           unsigned threads) {
        check_read(paths, headers, set_of_channel, gates, "licel_read");
        // Allocated here rather than by NumPy: large NumPy arrays ask the kernel for huge
        // pages, which can stall on memory compaction.  Every element is written by read.
        const std::size_t size = paths.size() * set_of_channel.size() * gates;
        auto [raw, raw_array] = traced_array<std::uint32_t>({paths.size(), set_of_channel.size(), gates});
        auto [signal, signal_array] = traced_array<double>({paths.size(), set_of_channel.size(), gates});
        std::vector<std::string> errors;
        {
            Interruptible unlocked;
            errors = L::read(paths, headers, set_of_channel, {set_of_channel.size(), gates},
                             {raw, size}, {signal, size}, threads);
        }
        return nb::make_tuple(raw_array, signal_array, errors);
    }, "paths"_a, "headers"_a, "set_of_channel"_a, "gates"_a, "threads"_a,
    "Reads the files' data sets: (raw counts, signal in mV or MHz, per file '' or why not), "
    "each (files, channels, gates), row i from file i, channel c from data set "
    "set_of_channel[c].");

    nb::class_<LicelReading>(m, "LicelReading", "A read of raw files under way (licel_read_start).")
        .def("finish", &LicelReading::finish,
             "Reads what no worker has taken and waits for the rest: (raw counts, signal, per "
             "file '' or why not), as licel_read returns them.");

    m.def("licel_read_start", [](std::vector<std::string> paths, std::vector<L::Header> headers,
                                 std::vector<std::size_t> set_of_channel, std::size_t gates,
                                 unsigned threads) {
        check_read(paths, headers, set_of_channel, gates, "licel_read_start");
        auto reading = std::make_unique<LicelReading>();
        reading->paths = std::move(paths);
        reading->headers = std::move(headers);
        reading->set_of_channel = std::move(set_of_channel);
        const std::size_t files = reading->paths.size(), channels = reading->set_of_channel.size();
        const std::size_t size = files * channels * gates;
        auto [raw, raw_array] = traced_array<std::uint32_t>({files, channels, gates});
        auto [signal, signal_array] = traced_array<double>({files, channels, gates});
        reading->raw = nb::cast(raw_array);
        reading->signal = nb::cast(signal_array);
        reading->reader = std::make_unique<L::Reader>(
            reading->paths, reading->headers, reading->set_of_channel, L::Layout{channels, gates},
            std::span<std::uint32_t>(raw, size), std::span<double>(signal, size));
        // A few blocks of files per thread, so that the caller, joining once done with its
        // own work, still finds some to read.
        const unsigned n = aerolume::resolve_threads(threads, files);
        const std::size_t blocks = std::min<std::size_t>(files, 4 * std::size_t{n});
        L::Reader* reader = reading->reader.get();
        reading->background = std::make_unique<aerolume::Background>(
            blocks, n - 1, [reader, files, blocks](std::size_t b) {
                reader->read_files(b * files / blocks, (b + 1) * files / blocks);
            });
        return reading;
    }, "paths"_a, "headers"_a, "set_of_channel"_a, "gates"_a, "threads"_a,
    "Starts licel_read on the core's workers (threads - 1 of them) and returns at once; "
    "finish() gives its result.");
}

}  // namespace aerolume::bindings
