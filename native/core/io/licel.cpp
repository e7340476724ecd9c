#include "licel.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <tuple>

#include <climits>

#include <fcntl.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "memory.h"
#include "parallel.h"

namespace aerolume::licel {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Files per thread below which a second thread costs more than it saves in the scan: a
// header is read in microseconds, about as long as waking a worker takes.
constexpr std::size_t files_per_thread_scan = 64;

// Headers are a few lines of about 80 characters; a file whose first lines run past this
// without the empty line that ends the header is not a raw file.
constexpr std::size_t max_header = 1 << 16;

std::string quoted(std::string_view text) {
    std::string out = "'";
    for (char c : text.substr(0, 100)) {
        if (c >= 32 && c < 127)
            out += c;
        else
            out += '?';
    }
    if (text.size() > 100) out += "...";
    return out + "'";
}

// The header's lines, each without its line end.
class Lines {
public:
    explicit Lines(std::string_view bytes) : bytes_(bytes.substr(0, max_header)) {}

    // The next line; throws if the header ends before it.
    std::string_view next(const char* what) {
        const std::size_t end = bytes_.find('\n', pos_);
        if (end == std::string_view::npos)
            throw FormatError(std::string("the header ends before its ") + what +
                              (bytes_.size() >= max_header ? " (no line end in the first 64 KiB)"
                                                           : ""));
        std::string_view line = bytes_.substr(pos_, end - pos_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos_ = end + 1;
        ++number_;
        for (char c : line)
            if (static_cast<unsigned char>(c) < 32 && c != '\t')
                throw FormatError("header line " + std::to_string(number_) +
                                  " holds a control character (byte " +
                                  std::to_string(static_cast<unsigned char>(c)) +
                                  "): not a raw lidar file, or a damaged header");
        return line;
    }
    // The next line as it stands (without its line end), not consumed; empty if the
    // header ends first.
    std::string_view peek() const {
        const std::size_t end = bytes_.find('\n', pos_);
        if (end == std::string_view::npos) return {};
        std::string_view line = bytes_.substr(pos_, end - pos_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
    }
    std::size_t position() const { return pos_; }
    int number() const { return number_; }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
    int number_ = 0;
};

// Header text is ASCII; bytes past it are taken as Latin-1 and stored as UTF-8.
std::string text(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

std::vector<std::string_view> split(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
        if (j > i) tokens.push_back(line.substr(i, j - i));
        i = j;
    }
    return tokens;
}

// A field of a header line: its number and name, for messages.
struct Field {
    int line;
    const char* name;
};

[[noreturn]] void bad(Field f, std::string_view token, const char* expected) {
    throw FormatError("header line " + std::to_string(f.line) + ": " + f.name + " " +
                      quoted(token) + " is not " + expected);
}

std::int64_t to_int(std::string_view token, Field f) {
    std::string_view digits = token;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty())
        bad(f, token, "an integer");
    return value;
}

int to_small(std::string_view token, Field f, std::int64_t lo, std::int64_t hi) {
    const std::int64_t value = to_int(token, f);
    if (value < lo || value > hi)
        bad(f, token, ("an integer from " + std::to_string(lo) + " to " + std::to_string(hi)).c_str());
    return static_cast<int>(value);
}

double to_double(std::string_view token, Field f) {
    std::string_view text = token;
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0.0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() ||
        !std::isfinite(value))
        bad(f, token, "a number");
    return value;
}

// Days from 1970-01-01 to the proleptic Gregorian date y-m-d.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool is_date(std::string_view t) {
    return t.size() == 10 && t[2] == '/' && t[5] == '/';
}

// "dd/mm/yyyy" "hh:mm:ss" as seconds since 1970-01-01.
std::int64_t to_time(std::string_view date, std::string_view time, Field f) {
    auto digits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!is_date(date) || !digits(date.substr(0, 2)) || !digits(date.substr(3, 2)) ||
        !digits(date.substr(6, 4)))
        bad(f, date, "a date dd/mm/yyyy");
    if (time.size() != 8 || time[2] != ':' || time[5] != ':' || !digits(time.substr(0, 2)) ||
        !digits(time.substr(3, 2)) || !digits(time.substr(6, 2)))
        bad(f, time, "a time hh:mm:ss");
    auto num = [](std::string_view s) {
        int v = 0;
        for (char c : s) v = v * 10 + (c - '0');
        return v;
    };
    const int day = num(date.substr(0, 2)), month = num(date.substr(3, 2)),
              year = num(date.substr(6, 4));
    const int hour = num(time.substr(0, 2)), minute = num(time.substr(3, 2)),
              second = num(time.substr(6, 2));
    static constexpr int month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > month_days[month - 1] ||
        (month == 2 && day == 29 && !(year % 4 == 0 && (year % 100 != 0 || year % 400 == 0))))
        bad(f, date, "a valid date");
    if (hour > 23 || minute > 59 || second > 60) bad(f, time, "a valid time");
    // Times are kept as nanoseconds since 1970 (datetime64[ns]), which span these years.
    if (year < 1678 || year > 2261) bad(f, date, "a date in the years 1678 to 2261");
    return days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

void parse_location_line(std::string_view line, Header& h) {
    // site (free text up to the start date), start, stop, altitude, longitude, latitude,
    // zenith angle, then optionally the azimuth angle, a quoted custom field, and
    // temperature and pressure.
    std::string_view rest = line;
    std::string custom;
    const std::size_t q1 = rest.find('"');
    std::string without_custom;
    if (q1 != std::string_view::npos) {
        const std::size_t q2 = rest.find('"', q1 + 1);
        if (q2 == std::string_view::npos)
            throw FormatError("header line 2: the quoted field is not closed");
        h.custom = text(rest.substr(q1 + 1, q2 - q1 - 1));
        without_custom = std::string(rest.substr(0, q1)) + " " + std::string(rest.substr(q2 + 1));
        rest = without_custom;
    }
    const auto tokens = split(rest);
    std::size_t first_date = tokens.size();
    for (std::size_t i = 0; i < tokens.size(); ++i)
        if (is_date(tokens[i])) {
            first_date = i;
            break;
        }
    if (first_date == tokens.size())
        throw FormatError("header line 2 has no start date dd/mm/yyyy (" + quoted(line) +
                          "): not a raw lidar file");
    const std::size_t site_end = static_cast<std::size_t>(tokens[first_date].data() - rest.data());
    std::string_view site = rest.substr(0, site_end);
    while (!site.empty() && site.front() == ' ') site.remove_prefix(1);
    while (!site.empty() && site.back() == ' ') site.remove_suffix(1);
    h.site = text(site);
    std::vector<std::string_view> v(tokens.begin() + static_cast<std::ptrdiff_t>(first_date),
                                    tokens.end());
    if (v.size() < 8)
        throw FormatError("header line 2 has " + std::to_string(v.size()) +
                          " fields after the site, expected at least 8 (start, stop, altitude, "
                          "longitude, latitude, zenith angle): " + quoted(line));
    h.start = to_time(v[0], v[1], {2, "start time"});
    h.stop = to_time(v[2], v[3], {2, "stop time"});
    h.altitude = to_double(v[4], {2, "altitude"});
    h.longitude = to_double(v[5], {2, "longitude"});
    h.latitude = to_double(v[6], {2, "latitude"});
    h.zenith = to_double(v[7], {2, "zenith angle"});
    const std::size_t more = v.size() - 8;
    if (more == 1 || more == 3) h.azimuth = to_double(v[8], {2, "azimuth angle"});
    if (more == 3) {
        h.temperature = to_double(v[9], {2, "temperature"});
        h.pressure = to_double(v[10], {2, "pressure"});
    } else if (more == 2) {
        h.temperature = to_double(v[8], {2, "temperature"});
        h.pressure = to_double(v[9], {2, "pressure"});
    } else if (more > 3) {
        throw FormatError("header line 2 has " + std::to_string(v.size()) +
                          " fields after the site, expected 8 to 11: " + quoted(line));
    }
    if (h.latitude < -90 || h.latitude > 90) bad({2, "latitude"}, v[6], "within -90 and 90");
    if (h.longitude < -360 || h.longitude > 360) bad({2, "longitude"}, v[5], "within -360 and 360");
    if (h.zenith < -180 || h.zenith > 180) bad({2, "zenith angle"}, v[7], "within -180 and 180");
}

void parse_laser_line(std::string_view line, Header& h, int& count, int number) {
    const auto t = split(line);
    if (t.size() < 5)
        throw FormatError("header line " + std::to_string(number) + " has " +
                          std::to_string(t.size()) +
                          " fields, expected at least 5 (laser shots and repetition rates, "
                          "number of data sets): " + quoted(line));
    h.laser_shots[0] = to_int(t[0], {number, "laser 1 shots"});
    h.repetition_rate[0] = to_small(t[1], {number, "laser 1 repetition rate"}, 0, 1000000);
    h.laser_shots[1] = to_int(t[2], {number, "laser 2 shots"});
    h.repetition_rate[1] = to_small(t[3], {number, "laser 2 repetition rate"}, 0, 1000000);
    count = to_small(t[4], {number, "number of data sets"}, 1, 999);
    std::size_t next = 5;
    if (t.size() >= 7) {
        h.laser_shots[2] = to_int(t[5], {number, "laser 3 shots"});
        h.repetition_rate[2] = to_small(t[6], {number, "laser 3 repetition rate"}, 0, 1000000);
        next = 7;
    } else if (t.size() == 6) {
        throw FormatError("header line " + std::to_string(number) + " has 6 fields: laser 3 "
                          "has shots but no repetition rate: " + quoted(line));
    }
    for (std::size_t i = next; i < t.size(); ++i) {
        if (!h.line3_extra.empty()) h.line3_extra += ' ';
        h.line3_extra += text(t[i]);
    }
    for (std::int64_t s : h.laser_shots)
        if (s < 0) bad({number, "laser shots"}, t[0], "non-negative");
}

// Whether `tokens` are all numbers (finite, as to_double reads them).
bool all_numbers(const std::vector<std::string_view>& tokens) {
    for (std::string_view token : tokens) {
        std::string_view t = token;
        if (!t.empty() && t.front() == '+') t.remove_prefix(1);
        double value = 0.0;
        auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
        if (t.empty() || ec != std::errc() || end != t.data() + t.size() || !std::isfinite(value))
            return false;
    }
    return true;
}

// Whether `line` can be a laser line: at least 5 fields, the first 5 integers, and not
// the 16 fields of a data set line.
bool looks_like_laser_line(std::string_view line) {
    const auto t = split(line);
    if (t.size() < 5 || t.size() == 16) return false;
    for (std::size_t i = 0; i < 5; ++i) {
        std::string_view d = t[i];
        if (!d.empty() && d.front() == '+') d.remove_prefix(1);
        if (d.empty() || !std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
    }
    return true;
}

// The scan line of the scanning variant: seven angles (deg).
void parse_scan_line(std::string_view line, Header& h) {
    static constexpr const char* names[7] = {
        "scan azimuth start", "scan azimuth stop", "scan azimuth step", "scan zenith start",
        "scan zenith stop", "scan zenith step", "azimuth offset"};
    const auto t = split(line);
    for (std::size_t i = 0; i < 7; ++i) {
        h.scan[i] = to_double(t[i], {3, names[i]});
        if (h.scan[i] < -360 || h.scan[i] > 360) bad({3, names[i]}, t[i], "within -360 and 360");
    }
    h.scan_line = true;
}

DataSet parse_set_line(std::string_view line, int number) {
    const auto t = split(line);
    if (t.size() != 16)
        throw FormatError("header line " + std::to_string(number) + " (a data set) has " +
                          std::to_string(t.size()) + " fields, expected 16: " + quoted(line));
    DataSet s;
    s.active = to_small(t[0], {number, "active flag"}, 0, 1) == 1;
    s.photon_counting = to_small(t[1], {number, "analog/photon-counting flag"}, 0, 1) == 1;
    s.laser = to_small(t[2], {number, "laser type"}, 1, 3);
    s.bins = to_int(t[3], {number, "number of bins"});
    if (s.bins < 1 || s.bins > (std::int64_t{1} << 26))
        bad({number, "number of bins"}, t[3], "from 1 to 2^26");
    to_small(t[4], {number, "fifth field"}, 0, 9);
    s.high_voltage = to_small(t[5], {number, "high voltage"}, -99999, 99999);
    s.bin_width = to_double(t[6], {number, "bin width"});
    if (!(s.bin_width > 0)) bad({number, "bin width"}, t[6], "positive");
    // wavelength and polarisation: "00355.o"
    const std::string_view wp = t[7];
    const std::size_t dot = wp.find('.');
    if (dot == std::string_view::npos || dot + 2 != wp.size())
        bad({number, "wavelength.polarisation"}, wp, "of the form 00355.o");
    s.wavelength = to_small(wp.substr(0, dot), {number, "wavelength"}, 1, 99999);
    s.polarization = wp[dot + 1];
    if (!std::strchr("opslrc", s.polarization))
        bad({number, "polarisation"}, wp, "one of o, p, s, l, r, c");
    s.reserved[0] = to_small(t[8], {number, "ninth field"}, -999999, 999999);
    s.reserved[1] = to_small(t[9], {number, "tenth field"}, -999999, 999999);
    s.bin_shift = to_small(t[10], {number, "bin shift"}, -999999, 999999);
    s.bin_shift_fraction = to_small(t[11], {number, "bin shift decimals"}, 0, 999999);
    s.adc_bits = to_small(t[12], {number, "ADC bits"}, 0, 32);
    s.shots = to_int(t[13], {number, "number of shots"});
    if (s.shots < 0) bad({number, "number of shots"}, t[13], "non-negative");
    s.input_range = to_double(t[14], {number, "input range / discriminator level"});
    s.device = text(t[15]);
    if (!s.photon_counting && s.adc_bits == 0)
        bad({number, "ADC bits"}, t[12], "positive for an analog data set");
    return s;
}

std::string os_message(const char* what, int err) {
    return std::string(what) + ": " + std::strerror(err);
}

// What a path that is not a regular file is, for messages.
const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// An open file that closes itself.  Only a regular file is opened: its type is checked
// first, since opening a FIFO waits for a writer and a device may never end; the open
// itself does not wait either, should the path have been replaced in between.
struct File {
    int fd = -1;
    int error = 0;              // errno of the failed stat or open
    const char* kind = nullptr; // what the path is when it is not a regular file
    explicit File(const std::string& path) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            error = errno;
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            kind = kind_of(st.st_mode);
            return;
        }
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) error = errno;
    }
    ~File() {
        if (fd >= 0) ::close(fd);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

// Reads up to `size` bytes at `offset` into `out`; returns the number read (short only at
// the end of the file).
std::size_t read_at(int fd, char* out, std::size_t size, std::size_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category());
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Reads from the start of the file into `parts` in turn; returns the number of bytes
// read (short only at the end of the file).
std::size_t read_vector(int fd, std::vector<iovec> parts) {
    std::size_t done = 0, first = 0;
    while (first < parts.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(parts.size() - first, IOV_MAX));
        const ssize_t n = ::preadv(fd, parts.data() + first, count, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category());
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
        // Skip the parts filled, and advance into a part filled in part.
        std::size_t left = static_cast<std::size_t>(n);
        while (first < parts.size() && left >= parts[first].iov_len) {
            left -= parts[first].iov_len;
            ++first;
        }
        if (first < parts.size() && left) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
            parts[first].iov_len -= left;
        }
    }
    return done;
}

struct OsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::size_t size_of(const File& f) {
    if (f.kind) throw OsError(std::string("not a regular file: ") + f.kind);
    if (f.fd < 0) throw OsError(os_message("cannot open", f.error));
    struct stat st;
    if (::fstat(f.fd, &st) != 0) throw OsError(os_message("cannot stat", errno));
    if (!S_ISREG(st.st_mode)) throw OsError(std::string("not a regular file: ") + kind_of(st.st_mode));
    return static_cast<std::size_t>(st.st_size);
}


// g[k] = double(r[k]) * scale.  The count is converted as a signed integer and corrected
// (SSE2 has no unsigned conversion).  With `around_caches` (and SSE2) the signal is
// written around the caches: for memory whose lines are not in them, which a normal store
// would first fetch only to overwrite.  The result is the same on either path.
void scale_counts(const std::uint32_t* r, double* g, std::size_t n, double scale,
                  bool around_caches) {
    auto one = [&](std::size_t k) {
        const auto as_signed = static_cast<std::int32_t>(r[k]);
        g[k] = (static_cast<double>(as_signed) + (as_signed < 0 ? 4294967296.0 : 0.0)) * scale;
    };
    std::size_t k = 0;
#if defined(__SSE2__)
    if (!around_caches) {
        for (; k < n; ++k) one(k);
        return;
    }
    for (; k < n && reinterpret_cast<std::uintptr_t>(g + k) % 16 != 0; ++k) one(k);
    const __m128d factor = _mm_set1_pd(scale), wrap = _mm_set1_pd(4294967296.0), zero = _mm_setzero_pd();
    for (; k + 2 <= n; k += 2) {
        const __m128i counts = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + k));
        const __m128d as_signed = _mm_cvtepi32_pd(counts);
        const __m128d value = _mm_add_pd(as_signed, _mm_and_pd(_mm_cmplt_pd(as_signed, zero), wrap));
        _mm_stream_pd(g + k, _mm_mul_pd(value, factor));
    }
    _mm_sfence();
#else
    (void)around_caches;
#endif
    for (; k < n; ++k) one(k);
}

}  // namespace

Header::Header() : azimuth(nan), temperature(nan), pressure(nan) {
    std::fill(std::begin(scan), std::end(scan), nan);
}

Header parse_header(std::string_view bytes, std::size_t file_size) {
    Header h;
    h.file_size = file_size;
    if (bytes.empty()) throw FormatError("the file is empty");
    // A raw file's header is text: stop early on binary content rather than quoting it.
    Lines lines(bytes);
    if (bytes.substr(0, 200).find('\n') == std::string_view::npos)
        throw FormatError("no header line in the first bytes: not a raw lidar file");
    std::string_view first = lines.next("first line (the file name)");
    {
        const auto t = split(first);
        if (t.size() != 1)
            throw FormatError("header line 1 should hold the file name alone, got " + quoted(first) +
                              ": not a raw lidar file");
        h.file_name = text(t[0]);
    }
    parse_location_line(lines.next("second line (site, times, location)"), h);
    int count = 0;
    std::string_view third = lines.next("third line (laser shots, number of data sets)");
    // The next line tells the layouts apart: after a scan line comes the laser line,
    // after the plain layout's laser line a data set line.
    const bool next_is_laser = looks_like_laser_line(lines.peek());
    const auto third_tokens = split(third);
    if (next_is_laser && third_tokens.size() == 7 && all_numbers(third_tokens)) {
        parse_scan_line(third, h);
        parse_laser_line(lines.next("fourth line (laser shots, number of data sets)"), h, count, 4);
    } else {
        try {
            parse_laser_line(third, h, count, 3);
        } catch (const FormatError& e) {
            if (!next_is_laser) throw;
            throw FormatError(std::string(e.what()) + " (line 4 is a laser line: if line 3 is "
                              "the scan line of a scanning lidar, it must hold 7 numbers)");
        }
    }
    const int laser_line = lines.number();
    for (int i = 0; i < count; ++i) {
        const std::string what = "data set line " + std::to_string(i + 1) + " of " +
                                 std::to_string(count);
        const std::string_view line = lines.next(what.c_str());
        if (split(line).empty())
            throw FormatError("line " + std::to_string(laser_line) + " announces " +
                              std::to_string(count) +
                              " data sets but the header has " + std::to_string(i) +
                              " data set lines");
        DataSet s = parse_set_line(line, lines.number());
        // Inactive data sets are described but not written.
        if (s.active) h.sets.push_back(std::move(s));
    }
    if (h.sets.empty()) throw FormatError("the header describes no active data set");
    std::string_view blank = lines.next("empty line after the data set lines");
    if (!split(blank).empty())
        throw FormatError("header line " + std::to_string(lines.number()) +
                          " should be empty (the end of the header) but holds " + quoted(blank) +
                          ": the number of data sets on line " + std::to_string(laser_line) +
                          " (" + std::to_string(count) +
                          ") does not match the data set lines");
    h.data_offset = lines.position();
    h.text = std::string(bytes.substr(0, h.data_offset));
    std::size_t data = 0;
    for (const DataSet& s : h.sets) data += static_cast<std::size_t>(s.bins) * 4;
    const std::size_t separators = 2 * h.sets.size();
    const std::size_t with = h.data_offset + data + separators;
    const std::size_t without = with - 2;
    if (file_size == with) {
        h.trailing_separator = true;
    } else if (file_size == without) {
        h.trailing_separator = false;
    } else {
        const std::string expected = std::to_string(with) + " bytes (header of " +
                                     std::to_string(h.data_offset) + ", " +
                                     std::to_string(h.sets.size()) + " data sets of " +
                                     std::to_string(data) + " bytes in all, separators)";
        if (file_size < without)
            throw FormatError("truncated: " + std::to_string(file_size) + " bytes where the header "
                              "announces " + expected);
        throw FormatError("the file has " + std::to_string(file_size) + " bytes where the header "
                          "announces " + expected);
    }
    return h;
}

double scale_of(const DataSet& s) {
    if (s.shots <= 0) return nan;
    const double shots = static_cast<double>(s.shots);
    if (s.photon_counting) {
        // A bin of width dr lasts 2 dr / c; the recorder derives the bin width from its
        // sampling clock with c = 3e8 m/s, so a bin lasts dr / 150 microseconds.
        return 150.0 / s.bin_width / shots;
    }
    // The ADC divides the input range (V) into 2^bits steps.
    return s.input_range * 1000.0 / std::ldexp(1.0, s.adc_bits) / shots;
}

bool same_channels(const Header& a, const Header& b) {
    const auto key = [](const DataSet& s) {
        return std::tie(s.wavelength, s.polarization, s.photon_counting, s.laser, s.bins,
                        s.bin_width, s.device);
    };
    return std::equal(a.sets.begin(), a.sets.end(), b.sets.begin(), b.sets.end(),
                      [&](const DataSet& x, const DataSet& y) { return key(x) == key(y); });
}

std::vector<Scan> scan(const std::vector<std::string>& paths, unsigned threads) {
    std::vector<Scan> out(paths.size());
    parallel_for(paths.size(), threads, [&](std::size_t begin, std::size_t end) {
        std::vector<char> buffer(8192);
        for (std::size_t i = begin; i < end; ++i) {
            check_cancel();
            try {
                File f(paths[i]);
                const std::size_t size = size_of(f);
                std::size_t got = 0;
                // Read until the header fits (it nearly always does in the first block).
                for (std::size_t want = 8192;; want *= 2) {
                    if (buffer.size() < want) buffer.resize(want);
                    got = read_at(f.fd, buffer.data(), std::min(want, size), 0);
                    try {
                        out[i].header = parse_header(std::string_view(buffer.data(), got), size);
                        break;
                    } catch (const FormatError&) {
                        if (got < want || want >= max_header) throw;
                    }
                }
            } catch (const FormatError& e) {
                out[i].error = e.what();
            } catch (const OsError& e) {
                out[i].error = e.what();
                out[i].os_error = true;
            } catch (const std::system_error& e) {
                out[i].error = os_message("cannot read", e.code().value());
                out[i].os_error = true;
            }
        }
    }, files_per_thread_scan);
    return out;
}

Reader::Reader(const std::vector<std::string>& paths, const std::vector<Header>& headers,
               std::span<const std::size_t> set_of_channel, Layout layout,
               std::span<std::uint32_t> raw, std::span<double> signal)
    : paths_(paths), headers_(headers), set_of_channel_(set_of_channel), layout_(layout),
      raw_(raw), signal_(signal), row_(layout.channels * layout.gates), errors_(paths.size()) {
    if (headers.size() != paths.size() || set_of_channel.size() != layout.channels ||
        raw.size() != paths.size() * row_ || signal.size() != raw.size())
        throw std::invalid_argument("licel::read: sizes of the arguments disagree");
}

void Reader::read_files(std::size_t begin, std::size_t end) {
    std::vector<char> buffer, separators;
    std::vector<std::uint32_t> scratch;
    for (std::size_t i = begin; i < end; ++i) {
        check_cancel();
        std::uint32_t* raw_row = raw_.data() + i * row_;
        double* signal_row = signal_.data() + i * row_;
        try {
            const Header& expected = headers_[i];
            File f(paths_[i]);
            const std::size_t size = size_of(f);
            if (size != expected.file_size)
                throw FormatError("the file changed while being read (" +
                                  std::to_string(expected.file_size) + " then " +
                                  std::to_string(size) + " bytes)");
            // One vectored read puts the header in `buffer`, each wanted data set
            // straight into its row of `raw`, the others and the separators aside.
            const std::size_t sets = expected.sets.size();
            std::vector<std::uint32_t*> target(sets, nullptr);
            for (std::size_t c = 0; c < layout_.channels; ++c) {
                const std::size_t s = set_of_channel_[c];
                if (s >= sets || target[s] || static_cast<std::size_t>(expected.sets[s].bins) > layout_.gates)
                    throw std::invalid_argument("licel::read: bad channel mapping");
                target[s] = raw_row + c * layout_.gates;
            }
            std::size_t largest = 0;
            for (const DataSet& set : expected.sets)
                largest = std::max(largest, static_cast<std::size_t>(set.bins));
            // New memory is mapped (and zeroed, into the caches) just before it is
            // written; memory used before is mapped already, its lines long gone from
            // the caches, and the signal is written around them.
            const bool reused = already_mapped(signal_row, row_ * sizeof(double));
            map_pages(raw_row, row_ * sizeof(std::uint32_t));
            if (!reused) map_pages(signal_row, row_ * sizeof(double));
            buffer.resize(expected.data_offset);
            scratch.resize(largest);
            separators.assign(2 * sets, 0);
            std::vector<iovec> parts;
            parts.reserve(2 * sets + 1);
            parts.push_back({buffer.data(), expected.data_offset});
            for (std::size_t s = 0; s < sets; ++s) {
                const std::size_t bytes = static_cast<std::size_t>(expected.sets[s].bins) * 4;
                parts.push_back({target[s] ? static_cast<void*>(target[s]) : scratch.data(), bytes});
                if (s + 1 < sets || expected.trailing_separator)
                    parts.push_back({separators.data() + 2 * s, 2});
            }
            if (read_vector(f.fd, parts) != size)
                throw FormatError("the file changed while being read (shorter than its size)");
            if (std::string_view(buffer.data(), expected.data_offset) != expected.text)
                throw FormatError("the file changed while being read (its header differs)");
            std::size_t at = expected.data_offset;
            for (std::size_t s = 0; s < sets; ++s) {
                at += static_cast<std::size_t>(expected.sets[s].bins) * 4;
                if (s + 1 < sets || expected.trailing_separator) {
                    if (separators[2 * s] != '\r' || separators[2 * s + 1] != '\n')
                        throw FormatError("data set " + std::to_string(s + 1) +
                                          " is not followed by CRLF at byte " +
                                          std::to_string(at) +
                                          ": the data sizes disagree with the header");
                    at += 2;
                }
            }
            for (std::size_t c = 0; c < layout_.channels; ++c) {
                const DataSet& set = expected.sets[set_of_channel_[c]];
                const std::size_t bins = static_cast<std::size_t>(set.bins);
                std::uint32_t* r = raw_row + c * layout_.gates;
                double* g = signal_row + c * layout_.gates;
                if constexpr (std::endian::native == std::endian::big)
                    for (std::size_t k = 0; k < bins; ++k)
                        r[k] = (r[k] >> 24) | ((r[k] >> 8) & 0xff00u) |
                               ((r[k] << 8) & 0xff0000u) | (r[k] << 24);
                scale_counts(r, g, bins, scale_of(set), reused);
                std::fill(r + bins, r + layout_.gates, 0u);
                std::fill(g + bins, g + layout_.gates, nan);
            }
        } catch (const FormatError& e) {
            errors_[i] = e.what();
        } catch (const OsError& e) {
            errors_[i] = e.what();
        } catch (const std::system_error& e) {
            errors_[i] = os_message("cannot read", e.code().value());
        }
        if (!errors_[i].empty()) {
            std::fill(raw_row, raw_row + row_, 0u);
            std::fill(signal_row, signal_row + row_, nan);
        }
    }
}

std::vector<std::string> read(const std::vector<std::string>& paths,
                              const std::vector<Header>& headers,
                              std::span<const std::size_t> set_of_channel, Layout layout,
                              std::span<std::uint32_t> raw, std::span<double> signal,
                              unsigned threads) {
    Reader reader(paths, headers, set_of_channel, layout, raw, signal);
    parallel_for(paths.size(), threads,
                 [&](std::size_t begin, std::size_t end) { reader.read_files(begin, end); });
    return std::move(reader.errors());
}

}  // namespace aerolume::licel
