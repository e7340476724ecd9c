// Reading the binary raw files of Licel transient recorders.
//
// A file is a few ASCII header lines (file name; site, start and stop time, location,
// angles and optionally temperature and pressure; laser shots and repetition rates; one
// line per data set), an empty line, then each data set as 32-bit little-endian unsigned
// integers (the counts accumulated over the shots), the data sets separated by CRLF.
//
// The variant written by scanning lidars has one more line between the second and the
// laser line: the scan (azimuth start, stop and step; zenith start, stop and step;
// the offset of the instrument's azimuth zero from north; degrees).  It is told from the
// plain layout by the file's own lines: seven numbers followed by a laser line, where
// the plain layout has the laser line followed by a data set line of 16 fields.
//
// Reading is in two steps so that a whole series lands in arrays allocated once:
// `scan` parses every file's header (in parallel), the caller checks that the channel
// layouts agree and allocates the output, and `read` fills it (in parallel), each file
// in its own rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace aerolume::licel {

// A file that is not a readable raw file: the message says what is wrong.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One data set (channel) as its header line describes it.
struct DataSet {
    bool active = false;
    bool photon_counting = false;
    int laser = 0;              // laser type 1, 2 or 3
    std::int64_t bins = 0;
    int high_voltage = 0;       // V
    double bin_width = 0.0;     // m
    int wavelength = 0;         // nm
    char polarization = 'o';    // 'o' none, 'p'/'l' parallel, 's' perpendicular, 'r', ...
    int reserved[2] = {0, 0};   // fields kept for backward compatibility by the format
    int bin_shift = 0;          // whole bins
    int bin_shift_fraction = 0; // the bin shift's decimal places, as written
    int adc_bits = 0;           // 0 for photon counting
    std::int64_t shots = 0;
    double input_range = 0.0;   // V for analog; the discriminator level for photon counting
    std::string device;         // recorder id, e.g. "BT0" (analog), "BC0" (photon counting)

    bool operator==(const DataSet&) const = default;
};

struct Header {
    std::string file_name;
    std::string site;
    std::int64_t start = 0, stop = 0;  // seconds since 1970-01-01, as written (UTC)
    double altitude = 0.0;             // m above sea level
    double longitude = 0.0, latitude = 0.0;  // deg
    double zenith = 0.0;               // deg
    double azimuth;                    // deg; NaN when the header has none
    double temperature;                // degC; NaN when the header has none
    double pressure;                   // hPa; NaN when the header has none
    std::string custom;                // the optional quoted field of the second line
    std::int64_t laser_shots[3] = {0, 0, 0};
    int repetition_rate[3] = {0, 0, 0};  // Hz
    std::string line3_extra;           // what follows the laser fields (controller time stamp)
    bool scan_line = false;            // the header has the scan line (see above)
    // The scan line's fields, deg, in order: azimuth start, stop, step; zenith start,
    // stop, step; azimuth offset.  NaN without a scan line.
    double scan[7];
    std::vector<DataSet> sets;         // the active data sets, in file order
    std::size_t data_offset = 0;       // where the first data set starts
    std::size_t file_size = 0;
    bool trailing_separator = true;    // whether the last data set is followed by CRLF
    std::string text;                  // the header's bytes, up to data_offset

    Header();
};

// Parses the header at the start of `bytes` (the whole file or at least its header) of a
// file of `file_size` bytes, and checks that the data sets it announces fill the file
// exactly.  Throws FormatError.
Header parse_header(std::string_view bytes, std::size_t file_size);

// The header of each file, or why it could not be read.
struct Scan {
    Header header;
    std::string error;  // empty when the header was read
    bool os_error = false;  // the file could not be opened or read (as opposed to parsed)
};

std::vector<Scan> scan(const std::vector<std::string>& paths, unsigned threads);

// What `read` writes where: output rows of `channels` x `gates`.
struct Layout {
    std::size_t channels = 0, gates = 0;
};

// Reads file `paths[i]`, whose header must still be `headers[i]`, into row i of `raw`
// (the counts) and `signal` (counts x scale): data set `set_of_channel[c]` of the file
// goes to channel c.  Analog data sets scale to mV per shot from the input range and the
// ADC bits, photon-counting ones to a count rate in MHz from the bin width and the shots;
// a channel with no shots gets NaN.  Gates past a data set's bins hold 0 and NaN.
// Returns, per file, an empty string or why it could not be read.
std::vector<std::string> read(const std::vector<std::string>& paths,
                              const std::vector<Header>& headers,
                              std::span<const std::size_t> set_of_channel, Layout layout,
                              std::span<std::uint32_t> raw, std::span<double> signal,
                              unsigned threads);

// Whether two headers announce the same channels: as many data sets, each alike in what
// makes it that channel (wavelength, polarisation, detection mode, laser, bins, bin width
// and recorder).  Shots, high voltage and the like may differ between files.
bool same_channels(const Header& a, const Header& b);

// What `read` does, a few files at a time, for callers that share the files out among
// threads themselves: read_files(begin, end) reads files [begin, end) into their rows (a
// file that cannot be read gets 0 and NaN and its reason in errors()).  Each file is
// written by one call only.  Holds references: the arguments must outlive it.
class Reader {
public:
    Reader(const std::vector<std::string>& paths, const std::vector<Header>& headers,
           std::span<const std::size_t> set_of_channel, Layout layout,
           std::span<std::uint32_t> raw, std::span<double> signal);

    std::size_t files() const { return paths_.size(); }
    void read_files(std::size_t begin, std::size_t end);
    std::vector<std::string>& errors() { return errors_; }

private:
    const std::vector<std::string>& paths_;
    const std::vector<Header>& headers_;
    std::span<const std::size_t> set_of_channel_;
    Layout layout_;
    std::span<std::uint32_t> raw_;
    std::span<double> signal_;
    std::size_t row_;
    std::vector<std::string> errors_;
};

// The factor from the counts of data set `set` to its signal (mV or MHz); NaN if the
// data set has no shots.
double scale_of(const DataSet& set);

}  // namespace aerolume::licel
