// NRRD files: attached headers (.nrrd) and detached ones (.nhdr) naming one
// data file; raw, gzip and ascii encodings.
//
// Reading:
// - Magic NRRD0001 to NRRD0005. Header lines end at "\n" ("\r\n" too); one
//   line may hold 64 KiB and the header 16 MiB, so a file without line ends
//   cannot make the reader hold it. A field given twice is refused.
// - Field names are matched without case and spaces ("byteskip" and "byte
//   skip" alike), type names with every spelling teem accepts.
// - dimension 3, or 2 (one slice), or more when every size past the third
//   is 1. The endian field is required for multi-byte raw and gzip data.
// - Spacing from "spacings", or, when given, from "space directions" as each
//   vector's length ("none" gives NaN); units from "space units" or "units"
//   when all three axes name one known unit (m, mm, um and their spellings).
//   A field that places the volume in a space (space, space origin, space
//   directions other than a positive diagonal, measurement frame), key/value
//   pairs and the other per-array fields are not kept and said so in notes.
// - "data file" names one file, relative to the header's folder unless
//   absolute, which must lie in that folder or below it unless the caller
//   allows any (see dataFileAllowed); LIST and numbered-file forms are
//   refused. "line skip" skips
//   lines of the data file, "byte skip" bytes after them; for gzip the bytes
//   skipped are inflated ones, as teem does; byte skip -1 (raw only) puts
//   the data at the end of the file.
// - ascii data are numbers between white space or commas, parsed in the C
//   locale (strtof for float, so a written float comes back bit for bit).
// - Comment lines become comments, without the two lines teem writes at the
//   top of every header about the format's home page.
//
// Writing: NRRD0004, comments first (a comment holding line breaks becomes
// several lines), then type (teem's short names: uchar, short, float...),
// dimension 3, sizes, spacings (shortest text that reads back to the same
// double; left out when the volume has none), per-axis units ("m", "mm",
// "um") when known, this machine's endian (written for 1-byte types too,
// which teem accepts) and the encoding. Gzip data follow the blank line as
// one gzip member.
#include "stream.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

#include <sys/stat.h>

namespace vrdconvert {

namespace {

constexpr size_t kMaxLine = size_t{64} << 10;
constexpr size_t kMaxHeader = size_t{16} << 20;
constexpr size_t kMaxAsciiToken = 128;

struct TypeName {
    const char *name;
    Scalar type;
};
// Every spelling teem accepts; the first of each type is the one written.
constexpr TypeName kTypeNames[] = {
    {"signed char", Scalar::Int8},   {"int8", Scalar::Int8},
    {"int8_t", Scalar::Int8},        {"uchar", Scalar::UInt8},
    {"unsigned char", Scalar::UInt8}, {"uint8", Scalar::UInt8},
    {"uint8_t", Scalar::UInt8},      {"short", Scalar::Int16},
    {"short int", Scalar::Int16},    {"signed short", Scalar::Int16},
    {"signed short int", Scalar::Int16}, {"int16", Scalar::Int16},
    {"int16_t", Scalar::Int16},      {"ushort", Scalar::UInt16},
    {"unsigned short", Scalar::UInt16}, {"unsigned short int", Scalar::UInt16},
    {"uint16", Scalar::UInt16},      {"uint16_t", Scalar::UInt16},
    {"int", Scalar::Int32},          {"signed int", Scalar::Int32},
    {"int32", Scalar::Int32},        {"int32_t", Scalar::Int32},
    {"uint", Scalar::UInt32},        {"unsigned int", Scalar::UInt32},
    {"uint32", Scalar::UInt32},      {"uint32_t", Scalar::UInt32},
    {"longlong", Scalar::Int64},     {"long long", Scalar::Int64},
    {"long long int", Scalar::Int64}, {"signed long long", Scalar::Int64},
    {"signed long long int", Scalar::Int64}, {"int64", Scalar::Int64},
    {"int64_t", Scalar::Int64},      {"ulonglong", Scalar::UInt64},
    {"unsigned long long", Scalar::UInt64}, {"unsigned long long int", Scalar::UInt64},
    {"uint64", Scalar::UInt64},      {"uint64_t", Scalar::UInt64},
    {"float", Scalar::Float32},      {"double", Scalar::Float64},
};

// Fields that place the volume in a space, named in the orientation note.
const char *const kPlacementFields[] = {"space", "spacedimension", "spaceorigin", "measurementframe"};
const char *const kUsedFields[] = {"type", "dimension", "sizes", "endian", "encoding", "spacings",
                                   "spacedirections", "spaceunits", "units", "datafile", "lineskip", "byteskip"};

enum class DataEncoding { Raw, Gzip, Ascii };

std::string shortened(const std::string &s)
{
    return s.size() <= 40 ? s : s.substr(0, 37) + "...";
}

std::vector<std::string> words(const std::string &s)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t')
            ++j;
        if (j > i)
            out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

bool parseInt(const std::string &s, int64_t *value)
{
    if (s.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    const long long v = strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

bool parseDouble(const std::string &s, double *value)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    *value = strtod(s.c_str(), &end);
    return *end == '\0';
}

// "a" "b" ... (quotes optional, \" inside quotes).
std::vector<std::string> quotedStrings(const std::string &s)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] == ' ' || s[i] == '\t') {
            ++i;
            continue;
        }
        std::string item;
        if (s[i] == '"') {
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] == '\\' && i + 1 < s.size())
                    ++i;
                item += s[i];
            }
            ++i;
        } else {
            for (; i < s.size() && s[i] != ' ' && s[i] != '\t'; ++i)
                item += s[i];
        }
        out.push_back(item);
    }
    return out;
}

// "(1,0,0) none (0,0,2.5)": one vector or an empty one for none per axis.
bool parseDirections(const std::string &s, std::vector<std::vector<double>> *out)
{
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] == ' ' || s[i] == '\t') {
            ++i;
        } else if (s.compare(i, 4, "none") == 0) {
            out->emplace_back();
            i += 4;
        } else if (s[i] == '(') {
            const size_t close = s.find(')', i);
            if (close == std::string::npos)
                return false;
            std::vector<double> vec;
            std::string inner = s.substr(i + 1, close - i - 1);
            size_t start = 0;
            while (true) {
                const size_t comma = inner.find(',', start);
                double d = 0;
                if (!parseDouble(trim(inner.substr(start, comma - start)), &d))
                    return false;
                vec.push_back(d);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
            out->push_back(vec);
            i = close + 1;
        } else {
            return false;
        }
    }
    return true;
}

Units unitsFromName(const std::string &name, bool *known)
{
    const std::string n = lower(trim(name));
    *known = true;
    if (n == "m" || n == "meter" || n == "meters" || n == "metre" || n == "metres")
        return Units::Metre;
    if (n == "mm" || n == "millimeter" || n == "millimeters" || n == "millimetre" || n == "millimetres")
        return Units::Millimetre;
    if (n == "um" || n == "\xc2\xb5m" || n == "\xce\xbcm" || n == "micron" || n == "microns" ||
        n == "micrometer" || n == "micrometers" || n == "micrometre" || n == "micrometres")
        return Units::Micrometre;
    *known = n.empty();
    return Units::Unknown;
}

// One header line without its line end: 1 a line, 0 the end of the file, -1 an error.
int readLine(InputStream &in, std::string *line, size_t *headerBytes, std::string *error)
{
    line->clear();
    int c;
    while ((c = in.getByte()) != -1 && c != '\n') {
        if (line->size() >= kMaxLine) {
            *error = format("header line longer than %zu bytes", kMaxLine);
            return -1;
        }
        line->push_back(char(c));
    }
    if (c == -1 && !in.error().empty()) {
        *error = in.error();
        return -1;
    }
    *headerBytes += line->size() + 1;
    if (*headerBytes > kMaxHeader) {
        *error = format("header longer than %zu bytes", kMaxHeader);
        return -1;
    }
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return c == -1 && line->empty() ? 0 : 1;
}

bool teemPreamble(const std::string &comment)
{
    const std::string first = "Complete NRRD file format ";
    return (comment.compare(0, first.size(), first) == 0 && comment.size() > 3 &&
            comment.compare(comment.size() - 3, 3, "at:") == 0) ||
           comment == "http://teem.sourceforge.net/nrrd/format.html";
}

// ascii values, one slice at a time.
class AsciiSource : public SliceSource {
public:
    AsciiSource(std::unique_ptr<InputStream> in, const Volume &v)
        : in_(std::move(in)), type_(v.type), count_(uint64_t(v.nx) * uint64_t(v.ny)), nz_(v.nz)
    {
    }

    bool read(void *buffer, std::string *error) override
    {
        if (slice_ >= nz_) {
            *error = "read past the last slice";
            return false;
        }
        auto *out = static_cast<uint8_t *>(buffer);
        const int width = scalarBytes(type_);
        if (!first_.empty()) {
            std::memcpy(out, first_.data(), first_.size());
            std::vector<uint8_t>().swap(first_);
        } else {
            for (uint64_t i = 0; i < count_; ++i)
                if (!value(out + i * width, error))
                    return false;
        }
        if (++slice_ == nz_) {
            if (!token(error))
                return false;
            trailing_ = !token_.empty();
        }
        return true;
    }

    bool trailingData() override { return trailing_; }

    // From a pipe: the first slice's values, parsed into memory that grows
    // with them, so that a header's sizes cost only what the text holds.
    bool proveFirstSlice(std::string *error) override
    {
        if (in_->regular() || slice_ > 0 || !first_.empty())
            return true;
        const size_t width = size_t(scalarBytes(type_));
        for (uint64_t i = 0; i < count_; ++i) {
            first_.resize(size_t(i + 1) * width); // grows geometrically
            if (!value(first_.data() + i * width, error)) {
                std::vector<uint8_t>().swap(first_);
                return false;
            }
        }
        return true;
    }

private:
    bool value(uint8_t *out, std::string *error)
    {
        if (!token(error))
            return false;
        if (token_.empty()) {
            *error = format("data end in slice %lld of %lld", (long long)slice_ + 1, (long long)nz_);
            return false;
        }
        if (!parse(out)) {
            *error = format("ascii value \"%s\" in slice %lld is not a %s", shortened(token_).c_str(),
                            (long long)slice_ + 1, scalarName(type_));
            return false;
        }
        return true;
    }

    static bool separator(int c)
    {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == '\f' || c == '\v';
    }

    // The next value's text, empty at the end of the data.
    bool token(std::string *error)
    {
        token_.clear();
        int c;
        while ((c = in_->getByte()) != -1 && separator(c)) {
        }
        while (c != -1 && !separator(c)) {
            if (token_.size() >= kMaxAsciiToken) {
                *error = format("ascii value longer than %zu characters", kMaxAsciiToken);
                return false;
            }
            token_.push_back(char(c));
            c = in_->getByte();
        }
        if (c == -1 && !in_->error().empty()) {
            *error = in_->error();
            return false;
        }
        return true;
    }

    template <class T> bool store(uint8_t *out, T value)
    {
        std::memcpy(out, &value, sizeof value);
        return true;
    }

    template <class T> bool storeSigned(uint8_t *out)
    {
        int64_t v = 0;
        if (!parseInt(token_, &v) || v < int64_t(std::numeric_limits<T>::min()) ||
            v > int64_t(std::numeric_limits<T>::max()))
            return false;
        return store<T>(out, T(v));
    }

    template <class T> bool storeUnsigned(uint8_t *out)
    {
        if (token_[0] == '-')
            return false;
        errno = 0;
        char *end = nullptr;
        const unsigned long long v = strtoull(token_.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || v > std::numeric_limits<T>::max())
            return false;
        return store<T>(out, T(v));
    }

    bool parse(uint8_t *out)
    {
        char *end = nullptr;
        switch (type_) {
        case Scalar::Int8: return storeSigned<int8_t>(out);
        case Scalar::Int16: return storeSigned<int16_t>(out);
        case Scalar::Int32: return storeSigned<int32_t>(out);
        case Scalar::Int64: return storeSigned<int64_t>(out);
        case Scalar::UInt8: return storeUnsigned<uint8_t>(out);
        case Scalar::UInt16: return storeUnsigned<uint16_t>(out);
        case Scalar::UInt32: return storeUnsigned<uint32_t>(out);
        case Scalar::UInt64: return storeUnsigned<uint64_t>(out);
        case Scalar::Float32: {
            const float f = strtof(token_.c_str(), &end);
            return *end == '\0' && store(out, f);
        }
        case Scalar::Float64: {
            const double d = strtod(token_.c_str(), &end);
            return *end == '\0' && store(out, d);
        }
        }
        return false;
    }

    std::unique_ptr<InputStream> in_;
    std::vector<uint8_t> first_; // the first slice, read ahead by proveFirstSlice
    Scalar type_;
    uint64_t count_;
    int64_t nz_, slice_ = 0;
    std::string token_;
    bool trailing_ = false;
};

// The fields of a header, by name without spaces and case.
using Fields = std::map<std::string, std::string>;

bool has(const Fields &f, const char *name)
{
    return f.count(name) != 0;
}

bool interpret(const Fields &f, int dimension, Volume *v, DataEncoding *encoding, std::string *error)
{
    for (const char *required : {"type", "sizes", "encoding"})
        if (!has(f, required)) {
            *error = format("no %s field", required);
            return false;
        }

    const std::string type = lower(trim(f.at("type")));
    bool known = false;
    for (const TypeName &t : kTypeNames)
        if (type == t.name) {
            v->type = t.type;
            known = true;
        }
    if (!known) {
        *error = type == "block" ? "type block is not supported" : format("unknown type \"%s\"", shortened(type).c_str());
        return false;
    }

    const std::vector<std::string> sizes = words(f.at("sizes"));
    if (int(sizes.size()) != dimension) {
        *error = format("sizes gives %zu sizes for dimension %d", sizes.size(), dimension);
        return false;
    }
    int64_t size[16] = {};
    for (int i = 0; i < dimension; ++i)
        if (!parseInt(sizes[i], &size[i]) || size[i] < 1) {
            *error = format("size \"%s\" is not a positive integer", shortened(sizes[i]).c_str());
            return false;
        }
    for (int i = dimension - 1; i >= 3; --i)
        if (size[i] != 1) {
            *error = format("%d-D volumes are not supported", i + 1);
            return false;
        }
    v->nx = size[0];
    v->ny = size[1];
    v->nz = dimension >= 3 ? size[2] : 1;

    const std::string enc = lower(trim(f.at("encoding")));
    if (enc == "raw")
        *encoding = DataEncoding::Raw;
    else if (enc == "gzip" || enc == "gz")
        *encoding = DataEncoding::Gzip;
    else if (enc == "ascii" || enc == "text" || enc == "txt")
        *encoding = DataEncoding::Ascii;
    else {
        const bool teem = enc == "hex" || enc == "bzip2" || enc == "bz2" || enc == "zrl";
        *error = format(teem ? "encoding %s is not supported" : "unknown encoding \"%s\"", shortened(enc).c_str());
        return false;
    }

    v->bigEndian = false;
    if (has(f, "endian")) {
        const std::string e = lower(trim(f.at("endian")));
        if (e != "little" && e != "big") {
            *error = format("unknown endian \"%s\"", shortened(e).c_str());
            return false;
        }
        v->bigEndian = e == "big" && *encoding != DataEncoding::Ascii;
    } else if (scalarBytes(v->type) > 1 && *encoding != DataEncoding::Ascii) {
        *error = format("no endian field for %d-byte values", scalarBytes(v->type));
        return false;
    }

    std::vector<std::string> placement;
    for (const char *name : kPlacementFields)
        if (has(f, name))
            placement.push_back(name);
    std::vector<std::string> unitNames;
    if (has(f, "spacedirections")) {
        std::vector<std::vector<double>> dirs;
        if (!parseDirections(f.at("spacedirections"), &dirs) || int(dirs.size()) != dimension) {
            *error = "space directions do not give one vector or none per axis";
            return false;
        }
        bool diagonal = true;
        for (int i = 0; i < 3 && i < dimension; ++i) {
            double sum = 0;
            for (size_t k = 0; k < dirs[i].size(); ++k) {
                sum += dirs[i][k] * dirs[i][k];
                diagonal = diagonal && (k == size_t(i) ? dirs[i][k] > 0 : dirs[i][k] == 0);
            }
            diagonal = diagonal && !dirs[i].empty();
            v->spacing[i] = dirs[i].empty() ? NAN : std::sqrt(sum);
        }
        if (!diagonal)
            placement.insert(placement.begin(), "space directions");
        v->hasSpacing = true;
        if (has(f, "spaceunits"))
            unitNames = quotedStrings(f.at("spaceunits"));
    } else if (has(f, "spacings")) {
        const std::vector<std::string> sp = words(f.at("spacings"));
        if (int(sp.size()) != dimension) {
            *error = format("spacings gives %zu values for dimension %d", sp.size(), dimension);
            return false;
        }
        for (int i = 0; i < 3 && i < dimension; ++i)
            if (!parseDouble(sp[i], &v->spacing[i])) {
                *error = format("spacing \"%s\" is not a number", shortened(sp[i]).c_str());
                return false;
            }
        v->hasSpacing = true;
    }
    if (unitNames.empty() && has(f, "units"))
        unitNames = quotedStrings(f.at("units"));
    if (!unitNames.empty()) {
        bool allKnown = true, first = true;
        for (size_t i = 0; i < 3 && i < unitNames.size(); ++i) {
            bool ok = false;
            const Units u = unitsFromName(unitNames[i], &ok);
            allKnown = allKnown && ok && (first || u == v->units);
            v->units = u;
            first = false;
        }
        if (!allKnown) {
            std::string list;
            for (const std::string &u : unitNames)
                list += (list.empty() ? "" : ", ") + u;
            v->units = Units::Unknown;
            v->notes.push_back(format("units (%s) not kept", shortened(list).c_str()));
        }
    }
    if (!placement.empty()) {
        std::string list;
        for (const std::string &p : placement)
            list += (list.empty() ? "" : ", ") + p;
        v->notes.push_back(format("orientation (%s) not kept", list.c_str()));
    }
    // Whatever else the header gives (content, labels, kinds, ...) is not kept.
    std::string dropped;
    for (const auto &field : f) {
        bool kept = field.first == "dimension";
        for (const char *name : kUsedFields)
            kept = kept || field.first == name;
        for (const char *name : kPlacementFields)
            kept = kept || field.first == name;
        if (!kept)
            dropped += (dropped.empty() ? "" : ", ") + field.first;
    }
    if (!dropped.empty())
        v->notes.push_back(format("fields not kept: %s", shortened(dropped).c_str()));
    return true;
}

std::string directoryOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Where a detached header's data file may be. The header comes from whoever
// sent it, so by default it may name only a regular file in its own folder
// or below it, symlinks resolved: never a file elsewhere (which would be
// copied into the output), a FIFO or standard input (which may never end).
// A device is refused even with dataAnywhere: /dev/zero never ends and a
// terminal waits for ever. dataPath gets the path to open.
bool dataFileAllowed(const std::string &header, const std::string &name, bool anywhere, std::string *dataPath,
                     std::string *error)
{
    const std::string shown = shortened(name);
    if (name == "-") {
        if (!anywhere) {
            *error = "data file - (standard input) is not read; --data-anywhere allows it";
            return false;
        }
        *dataPath = "/dev/stdin";
    } else {
        *dataPath = name[0] == '/' ? name : directoryOf(header) + name;
    }
    struct stat st;
    if (stat(dataPath->c_str(), &st) != 0)
        return true; // the open names the reason
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode)) {
        *error = format("data file %s is a device or socket, never read as data (not even with --data-anywhere)", shown.c_str());
        return false;
    }
    if (anywhere)
        return true;
    if (!S_ISREG(st.st_mode)) {
        *error = format("data file %s is not a regular file; --data-anywhere allows it", shown.c_str());
        return false;
    }
    const std::string folder = directoryOf(header).empty() ? "." : directoryOf(header);
    char *realFolder = realpath(folder.c_str(), nullptr);
    char *realData = realpath(dataPath->c_str(), nullptr);
    bool inside = false;
    if (realFolder != nullptr && realData != nullptr) {
        const std::string f = realFolder, d = realData;
        const std::string prefix = f == "/" ? f : f + "/";
        inside = d.size() > prefix.size() && d.compare(0, prefix.size(), prefix) == 0;
        if (inside)
            *dataPath = d; // opened as checked, whatever its links do next
    }
    free(realFolder);
    free(realData);
    if (!inside) {
        *error = format("data file %s lies outside the header's folder; --data-anywhere allows it", shown.c_str());
        return false;
    }
    return true;
}

// Shortest text that reads back as the same double.
std::string exactText(double d)
{
    if (std::isnan(d))
        return "nan";
    if (std::isinf(d))
        return d > 0 ? "inf" : "-inf";
    for (int precision = 1; precision <= 17; ++precision) {
        char text[40];
        snprintf(text, sizeof text, "%.*g", precision, d);
        if (strtod(text, nullptr) == d)
            return text;
    }
    return format("%.17g", d);
}

} // namespace

std::unique_ptr<SliceSource> openNrrd(const std::string &path, Volume *v, std::string *error, bool dataAnywhere)
{
    auto in = std::make_unique<InputStream>();
    if (!in->open(path, error))
        return nullptr;
    std::string line;
    size_t headerBytes = 0;
    const int first = readLine(*in, &line, &headerBytes, error);
    if (first < 0)
        return nullptr;
    if (first == 0 || line.size() != 8 || line.compare(0, 7, "NRRD000") != 0 || line[7] < '1' || line[7] > '9') {
        *error = "not a NRRD file (no NRRD000N magic)";
        return nullptr;
    }
    if (line[7] > '5') {
        *error = format("NRRD version %c is newer than the supported 1 to 5", line[7]);
        return nullptr;
    }

    *v = Volume{};
    Fields fields;
    size_t keyValues = 0;
    bool blankLine = false;
    int r;
    while ((r = readLine(*in, &line, &headerBytes, error)) == 1) {
        if (line.empty()) {
            blankLine = true;
            break;
        }
        if (line[0] == '#') {
            const std::string comment = trim(line.substr(1));
            if (!comment.empty() && !teemPreamble(comment))
                v->comments.push_back(comment);
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            *error = format("header line \"%s\" is not a field", shortened(line).c_str());
            return nullptr;
        }
        if (line.compare(colon, 2, ":=") == 0) {
            ++keyValues;
            continue;
        }
        std::string name;
        for (char c : lower(line.substr(0, colon)))
            if (c != ' ' && c != '\t')
                name += c;
        const std::string value = trim(line.substr(colon + 1));
        if (name == "datafile" && value.compare(0, 4, "LIST") == 0) { // the lines after it name the files
            *error = "multi-file data (LIST or numbered files) are not supported";
            return nullptr;
        }
        if (!fields.emplace(name, value).second) {
            *error = format("field \"%s\" given twice", shortened(line.substr(0, colon)).c_str());
            return nullptr;
        }
    }
    if (r < 0)
        return nullptr;
    if (keyValues > 0)
        v->notes.push_back(format("%zu key/value pairs not kept", keyValues));

    if (!has(fields, "dimension")) {
        *error = "no dimension field";
        return nullptr;
    }
    int64_t dimension = 0;
    if (!parseInt(trim(fields["dimension"]), &dimension) || dimension < 1 || dimension > 16) {
        *error = format("dimension \"%s\" is not 1 to 16", shortened(fields["dimension"]).c_str());
        return nullptr;
    }
    if (dimension == 1) {
        *error = "1-D data are not supported";
        return nullptr;
    }
    DataEncoding encoding = DataEncoding::Raw;
    uint64_t slice = 0, total = 0;
    if (!interpret(fields, int(dimension), v, &encoding, error) || !volumeBytes(*v, &slice, &total, error))
        return nullptr;

    int64_t lineSkip = 0, byteSkip = 0;
    if (has(fields, "lineskip") && (!parseInt(fields["lineskip"], &lineSkip) || lineSkip < 0)) {
        *error = format("line skip \"%s\" is not a count", shortened(fields["lineskip"]).c_str());
        return nullptr;
    }
    if (has(fields, "byteskip") && (!parseInt(fields["byteskip"], &byteSkip) || byteSkip < -1)) {
        *error = format("byte skip \"%s\" is not a count or -1", shortened(fields["byteskip"]).c_str());
        return nullptr;
    }
    if (byteSkip == -1 && encoding != DataEncoding::Raw) {
        *error = "byte skip -1 needs raw encoding";
        return nullptr;
    }

    if (has(fields, "datafile")) {
        const std::string name = fields["datafile"];
        const std::vector<std::string> parts = words(name);
        if (parts.empty() || parts[0] == "LIST" ||
            (parts.size() >= 4 && parts[0].find('%') != std::string::npos)) {
            *error = "multi-file data (LIST or numbered files) are not supported";
            return nullptr;
        }
        std::string dataPath;
        if (!dataFileAllowed(path, name, dataAnywhere, &dataPath, error))
            return nullptr;
        v->dataFile = dataPath;
        in = std::make_unique<InputStream>();
        std::string why;
        if (!in->open(dataPath, &why)) {
            *error = format("data file %s: %s", shortened(name).c_str(), why.c_str());
            return nullptr;
        }
        if (!in->regular() && !dataAnywhere) { // changed since it was looked at
            *error = format("data file %s is not a regular file; --data-anywhere allows it", shortened(name).c_str());
            return nullptr;
        }
    } else if (!blankLine) {
        *error = "header ends without a blank line or a data file";
        return nullptr;
    }

    for (int64_t i = 0; i < lineSkip;) {
        const int c = in->getByte();
        if (c == -1) {
            *error = in->error().empty() ? "data end before the lines to skip" : in->error();
            return nullptr;
        }
        i += c == '\n';
    }
    const uint64_t from = in->position();
    if (encoding == DataEncoding::Ascii) {
        if (!in->skipRaw(uint64_t(byteSkip), error) || !in->startData(false, error))
            return nullptr;
        // Each value takes at least one character and one separator.
        const uint64_t values = total / scalarBytes(v->type);
        const uint64_t have = in->fileSize() > in->position() ? in->fileSize() - in->position() : 0;
        if (in->regular() && have < 2 * values - 1) {
            *error = format("data end early: %llu bytes of text cannot hold %llu values", (unsigned long long)have,
                            (unsigned long long)values);
            return nullptr;
        }
        return std::make_unique<AsciiSource>(std::move(in), *v);
    }
    const bool gzip = encoding == DataEncoding::Gzip;
    if (byteSkip == -1) {
        if (!in->regular()) {
            *error = "byte skip -1 needs a regular data file";
            return nullptr;
        }
        if (!checkDataFits(*in, from, false, 0, total, error) || !in->seekRaw(in->fileSize() - total, error))
            return nullptr;
    } else if (!checkDataFits(*in, from, gzip, uint64_t(byteSkip), total, error)) {
        return nullptr;
    }
    if (!in->startData(gzip, error))
        return nullptr;
    if (byteSkip > 0 && !in->skip(uint64_t(byteSkip), error))
        return nullptr;
    return makeBinarySource(std::move(in), *v);
}

std::unique_ptr<SliceSink> createNrrd(FILE *file, const Volume &v, Encoding encoding, std::string *error,
                                      int gzipLevel)
{
    uint64_t slice = 0, total = 0;
    if (!volumeBytes(v, &slice, &total, error))
        return nullptr;
    std::string h = "NRRD0004\n";
    for (const std::string &comment : v.comments) {
        size_t start = 0;
        while (start <= comment.size()) {
            size_t end = comment.find('\n', start);
            if (end == std::string::npos)
                end = comment.size();
            std::string text = comment.substr(start, end - start);
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            h += text.empty() ? "#\n" : "# " + text + "\n";
            start = end + 1;
        }
    }
    const char *type = "";
    for (const TypeName &t : kTypeNames)
        if (t.type == v.type) {
            type = t.name;
            break;
        }
    h += format("type: %s\ndimension: 3\nsizes: %lld %lld %lld\n", type, (long long)v.nx, (long long)v.ny,
                (long long)v.nz);
    // teem reads "nan" as an unknown spacing but refuses infinite ones.
    auto spacing = [&](int i) { return exactText(std::isinf(v.spacing[i]) ? NAN : v.spacing[i]); };
    if (v.hasSpacing)
        h += "spacings: " + spacing(0) + " " + spacing(1) + " " + spacing(2) + "\n";
    const char *unit = v.units == Units::Metre        ? "m"
                       : v.units == Units::Millimetre ? "mm"
                       : v.units == Units::Micrometre ? "um"
                                                      : nullptr;
    if (unit != nullptr)
        h += format("units: \"%s\" \"%s\" \"%s\"\n", unit, unit, unit);
    h += format("endian: %s\nencoding: %s\n\n", kHostBigEndian ? "big" : "little",
                encoding == Encoding::Gzip ? "gzip" : "raw");
    return makeSink(file, v, encoding, gzipLevel, h, std::string(), error);
}

} // namespace vrdconvert
