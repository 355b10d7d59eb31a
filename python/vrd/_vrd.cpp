// The compiled half of the Python package: every format rule comes from the
// library (header reading and validation, messages, block decoding and
// encoding, the header writer, the preview, the output written beside and
// renamed), and the work on slices runs with the GIL released. Faults become
// Python exceptions; nothing here prints, exits or keeps global state.
#include <vrd/vrd.h>

#include "compare.h"
#include "run.h"
#include "window.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace {

std::string nameOf(const py::dtype &type)
{
    return py::str(py::handle(type)).cast<std::string>();
}

// ---- faults

[[noreturn]] void valueError(const std::string &text)
{
    throw py::value_error(text);
}

[[noreturn]] void osError(int number, const std::string &text, const std::string &path)
{
    PyErr_SetObject(PyExc_OSError, py::make_tuple(number, text, path).ptr());
    throw py::error_already_set();
}

// A block's messages as one line: its lines joined, the last line feed dropped.
std::string oneLine(const char *message)
{
    std::string text = message;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
        text.replace(at, 1, "; ");
    return text;
}

[[noreturn]] void blockFault(const std::string &path, int64_t z, const std::string &what)
{
    valueError(path + ": slice " + std::to_string(z) + ": " + what);
}

std::string notHeld(const std::string &path, int64_t z)
{
    return path + ": slice " + std::to_string(z) + ": the file does not hold its block";
}

// ---- types

const char *const kDtypeWords[] = {"vrdUChar", "vrdChar", "vrdUInt12", "vrdUInt16", "vrdInt16",
                                   "vrdIntHU", "vrdUInt32", "vrdInt32", "vrdFloat", "vrdDouble"};

// The numpy type that holds values of a vrd type, in this machine's order.
py::dtype numpyType(int32_t dtype)
{
    static const char *const codes[] = {"u1", "i1", "u2", "u2", "i2", "i2", "u4", "i4", "f4", "f8"};
    return py::dtype(std::string("=") + codes[dtype - 1]);
}

// The vrd type a numpy array of this type is written as (never vrdUInt12 or
// vrdIntHU), or 0 for a type the format has no place for.
int32_t vrdType(const py::dtype &type)
{
    const char kind = type.kind();
    const ssize_t size = type.itemsize();
    if (kind == 'u')
        return size == 1 ? vrdUChar : size == 2 ? vrdUInt16 : size == 4 ? vrdUInt32 : 0;
    if (kind == 'i')
        return size == 1 ? vrdChar : size == 2 ? vrdInt16 : size == 4 ? vrdInt32 : 0;
    if (kind == 'f')
        return size == 4 ? vrdFloat : size == 8 ? vrdDouble : 0;
    return 0;
}

bool nativeOrder(const py::dtype &type)
{
    const char order = type.attr("byteorder").cast<std::string>()[0];
    return order == '=' || order == '|' || order == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? '<' : '>');
}

constexpr bool kLittleMachine = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

[[noreturn]] void unsupportedType(const py::dtype &type)
{
    throw py::type_error("arrays of " + nameOf(type) +
                         " are not vrd volumes; the vrd types are uint8, int8, uint16, int16, uint32, int32, "
                         "float32 and float64");
}

// A 3-D array's values as the engine and the encoder take them: slice z
// gathered row by row through the array's strides, in the byte order asked.
struct Strided {
    const unsigned char *data = nullptr;
    ssize_t stride[3] = {0, 0, 0};
    ssize_t shape[3] = {0, 0, 0};
    int32_t itemSize = 0;
    bool swap = false; // the array's order is not the one asked

    void gather(int64_t z, unsigned char *out) const
    {
        const size_t row = size_t(shape[2]) * size_t(itemSize);
        for (ssize_t y = 0; y < shape[1]; ++y) {
            const unsigned char *from = data + z * stride[0] + y * stride[1];
            unsigned char *to = out + size_t(y) * row;
            if (stride[2] == itemSize) {
                memcpy(to, from, row);
            } else {
                for (ssize_t x = 0; x < shape[2]; ++x)
                    memcpy(to + size_t(x) * size_t(itemSize), from + x * stride[2], size_t(itemSize));
            }
        }
        if (swap)
            vrdSwapItems(out, itemSize, int32_t(shape[1] * shape[2]));
    }
};

Strided stridedOf(const py::array &a, bool littleFile)
{
    Strided s;
    s.data = static_cast<const unsigned char *>(a.data());
    for (int i = 0; i < 3; ++i) {
        s.stride[i] = a.strides(i);
        s.shape[i] = a.shape(i);
    }
    s.itemSize = int32_t(a.itemsize());
    const bool arrayLittle = nativeOrder(a.dtype()) ? kLittleMachine : !kLittleMachine;
    s.swap = a.itemsize() > 1 && arrayLittle != littleFile;
    return s;
}

// Checks an array to be written: its type and its 3-D shape.
int32_t checkVolumeArray(const py::array &a)
{
    const int32_t dtype = vrdType(a.dtype());
    if (dtype == 0)
        unsupportedType(a.dtype());
    if (a.ndim() != 3)
        valueError("a volume has 3 dimensions (nz, ny, nx), not " + std::to_string(a.ndim()));
    for (int i = 0; i < 3; ++i)
        if (a.shape(i) < 1 || a.shape(i) > INT32_MAX)
            valueError("volume of shape (" + std::to_string(a.shape(0)) + ", " + std::to_string(a.shape(1)) + ", " +
                       std::to_string(a.shape(2)) + "): every dimension must be 1 to 2147483647");
    return dtype;
}

VrdDeflate deflateOf(const py::object &setting)
{
    VrdDeflate d{};
    std::string text;
    if (setting.is_none()) {
        const char *env = getenv("VRD_DEFLATE");
        if (env == nullptr)
            return d;
        text = env;
    } else {
        text = py::str(setting).cast<std::string>();
    }
    if (!vrdParseDeflate(text.c_str(), &d))
        valueError("deflate '" + text + "': one of zlib, zlib:0 to zlib:9, libdeflate, libdeflate:1 to libdeflate:12");
    return d;
}

int32_t compressionOf(const std::string &name)
{
    if (name == "zlib")
        return vrdCompZlib;
    if (name == "none")
        return vrdCompNone;
    valueError("compression '" + name + "': one of 'zlib', 'none'");
}

int32_t endianOf(const std::string &name)
{
    if (name == "little")
        return vrdLittleEndian;
    if (name == "big")
        return vrdBigEndian;
    valueError("endian '" + name + "': one of 'little', 'big'");
}

// ---- the header as a dict

py::object floats(const float *values, int32_t count)
{
    if (values == nullptr)
        return py::none();
    py::list list;
    for (int32_t i = 0; i < count; ++i)
        list.append(double(values[i]));
    return std::move(list);
}

py::str text(const char *s)
{
    // Comments are bytes in the file; other than UTF-8 they keep surrogate escapes.
    PyObject *decoded = PyUnicode_DecodeUTF8(s, ssize_t(strlen(s)), "surrogateescape");
    if (decoded == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

py::dict headerDict(const VrdHeader &h, const VrdPrologue &p)
{
    static const char *const vtypes[] = {"cubic", "regular", "rectz", "rectxyz"};
    static const char *const units[] = {"um", "mm", "m"};
    py::dict d;
    d["version"] = py::make_tuple(h.versionMajor, h.versionMinor);
    d["compression"] = h.compression == vrdCompZlib ? "zlib" : "none";
    d["endian"] = h.endian == vrdBigEndian ? "big" : "little";
    d["nx"] = h.nx;
    d["ny"] = h.ny;
    d["nz"] = h.nz;
    d["vtype"] = vtypes[h.vtype - 1];
    const double px = h.px, py_ = h.py, pz = h.pz;
    const py::object none = py::none();
    switch (h.vtype) {
    case vrdCubic: d["spacing"] = py::make_tuple(px, px, px); break;
    case vrdRegular: d["spacing"] = py::make_tuple(px, py_, pz); break;
    case vrdRectZ: d["spacing"] = py::make_tuple(px, py_, none); break;
    default: d["spacing"] = py::make_tuple(none, none, none); break;
    }
    d["rx"] = h.vtype == vrdRectXYZ ? floats(h.rx, h.nx) : none;
    d["ry"] = h.vtype == vrdRectXYZ ? floats(h.ry, h.ny) : none;
    d["rz"] = h.vtype == vrdRectZ || h.vtype == vrdRectXYZ ? floats(h.rz, h.nz) : none;
    d["units"] = units[h.units - 1];
    d["nbands"] = h.nbands;
    d["dtype"] = kDtypeWords[h.dtype - 1];
    if (!h.hasBgThreshold)
        d["bg_threshold"] = none;
    else if (h.dtype == vrdFloat || h.dtype == vrdDouble)
        d["bg_threshold"] = double(h.bgThresholdF);
    else
        d["bg_threshold"] = h.bgThresholdI;
    py::list comments;
    for (int32_t i = 0; i < h.commentCount; ++i)
        comments.append(text(h.comments[i] != nullptr ? h.comments[i] : ""));
    d["comments"] = comments;
    py::list functions;
    for (int32_t f = 0; f < h.tfnum; ++f) {
        py::list entry;
        for (int32_t c = 0; c < 5; ++c) {
            const char *value = h.tfdata != nullptr ? h.tfdata[5 * f + c] : nullptr;
            entry.append(value != nullptr ? py::object(text(value)) : none);
        }
        functions.append(py::tuple(entry));
    }
    d["transfer_functions"] = functions;
    d["icon"] = py::make_tuple(p.iconWidth, p.iconHeight);
    return d;
}

// ---- reading

// A file opened and its header read; released with the object.
struct OpenFile {
    std::string path;
    VrdHeader h{};
    VrdPrologue p{};
    FILE *file = nullptr;
    uint64_t sliceBytes = 0;

    explicit OpenFile(const std::string &name) : path(name)
    {
        char message[300] = "";
        int32_t error = 0;
        {
            py::gil_scoped_release free;
            error = vrdOpenReadR(path.c_str(), &h, &p, &file, message, sizeof message);
        }
        if (error == 1)
            osError(p.osError, message, path);
        if (error != 0)
            valueError(path + ": " + message);
        if (h.nbands != 1)
            valueError(path + ": " + std::to_string(h.nbands) +
                       " bands per voxel; only single-band volumes can be read");
        sliceBytes = uint64_t(vrdVoxelSize(h.dtype)) * uint64_t(h.nx) * uint64_t(h.ny);
        if (sliceBytes > UINT32_MAX || uint64_t(h.nx) * uint64_t(h.ny) > INT32_MAX)
            valueError(path + ": slices of " + std::to_string(h.nx) + " x " + std::to_string(h.ny) +
                       " values are too large for a block");
    }
    ~OpenFile()
    {
        if (file != nullptr)
            fclose(file);
        vrdFreeHeader(&h);
    }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;

    int fd() const { return fileno(file); }
};

// Refuses a block that cannot hold a slice, by its length alone, before any
// memory is had for the slices.
void checkBlockLength(const OpenFile &f, int64_t z, uint32_t length)
{
    const uint64_t least = vrdtool::leastBlockBytes(f.sliceBytes, f.h.compression);
    if (length < least)
        blockFault(f.path, z, "the block of " + std::to_string(length) + " bytes cannot hold a slice of " +
                                  std::to_string(f.sliceBytes) + " bytes");
}

py::array newSlices(const OpenFile &f, size_t count, const py::object &out)
{
    const std::vector<ssize_t> shape{ssize_t(count), ssize_t(f.h.ny), ssize_t(f.h.nx)};
    if (out.is_none())
        return py::array(numpyType(f.h.dtype), shape);
    py::array given = py::reinterpret_borrow<py::array>(out);
    if (!py::isinstance<py::array>(out) || !given.dtype().is(numpyType(f.h.dtype)) ||
        given.ndim() != 3 || given.shape(0) != shape[0] || given.shape(1) != shape[1] || given.shape(2) != shape[2] ||
        !(given.flags() & py::array::c_style) || !given.writeable())
        valueError("out: a writeable C-contiguous array of shape (" + std::to_string(count) + ", " +
                   std::to_string(f.h.ny) + ", " + std::to_string(f.h.nx) + ") and type " +
                   nameOf(numpyType(f.h.dtype)) + " is needed");
    return given;
}

// Decodes the blocks at offsets (slices zs) one after the other on this
// thread into dest; returns 0, or the index of the first slice not read
// whole with its result.
int64_t decodeEach(const OpenFile &f, const std::vector<int64_t> &offsets, unsigned char *dest,
                   VrdBlockResult *fault)
{
    VrdCodec *codec = vrdCodecNew(vrdCodecInflate, nullptr);
    for (size_t i = 0; i < offsets.size(); ++i) {
        if (!vrdReadIndexedBlock(f.fd(), &f.h, offsets[i], codec, dest + i * f.sliceBytes, fault)) {
            vrdCodecFree(codec);
            return int64_t(i);
        }
    }
    vrdCodecFree(codec);
    return -1;
}

struct EngineRead {
    unsigned char *dest;
    uint64_t sliceBytes;
    int64_t firstBad = -1;
    VrdBlockResult fault{};
};

void *sliceInto(void *user, int32_t z)
{
    const EngineRead *r = static_cast<const EngineRead *>(user);
    return r->dest + uint64_t(z) * r->sliceBytes;
}

void noteFault(void *user, int32_t z, const void *const *, const VrdBlockResult *blocks, const void *, void *)
{
    EngineRead *r = static_cast<EngineRead *>(user);
    if (r->firstBad < 0 && blocks[0].outcome != vrdBlockWhole) {
        r->firstBad = z;
        r->fault = blocks[0];
    }
}

// The blocks at offsets on the slice engine (all cores), straight into dest.
// The stream's position is the engine's, so one run at a time per file.
int64_t decodeOnEngine(const OpenFile &f, const std::vector<int64_t> &offsets, unsigned char *dest,
                       VrdBlockResult *fault, std::string &why)
{
    VrdHeader part = f.h;
    part.nz = int32_t(offsets.size());
    EngineRead read{dest, f.sliceBytes};
    VrdEngineInput input = {f.file, &part, nullptr};
    VrdEngineSetup setup{};
    setup.inputCount = 1;
    setup.inputs = &input;
    setup.ordered = noteFault;
    setup.user = &read;
    setup.flags = vrdEngineQuiet | vrdEngineKeepGoing;
    setup.blockOffsets = offsets.data();
    setup.sliceAt = sliceInto;
    char reason[200] = "";
    VrdEngine *engine = vrdEngineNew(&setup, reason, sizeof reason);
    if (engine == nullptr) {
        why = reason;
        return -2;
    }
    const int32_t done = vrdEngineRun(engine, nullptr);
    vrdEngineFree(engine);
    if (read.firstBad < 0 && done < part.nz) {
        read.firstBad = done;
        snprintf(read.fault.message, sizeof read.fault.message, "the run ended at this block");
    }
    *fault = read.fault;
    return read.firstBad;
}

// ---- the volume object

class Volume {
public:
    explicit Volume(const std::string &path) : file_(std::make_unique<OpenFile>(path))
    {
        char why[300] = "";
        int32_t indexed = 0;
        {
            py::gil_scoped_release free;
            indexed = vrdIndexBlocks(file_->fd(), file_->p.firstBlock, &file_->h, &index_, why, sizeof why);
        }
        if (!indexed) {
            vrdFreeBlockIndex(&index_);
            valueError(path + ": " + why);
        }
    }
    ~Volume() { closeNow(); }

    void close()
    {
        py::gil_scoped_release free;
        closeNow();
    }
    bool closed() const { return file_ == nullptr; }

    py::dict header() const { return headerDict(open().h, open().p); }
    py::tuple shape() const { return py::make_tuple(open().h.nz, open().h.ny, open().h.nx); }
    py::dtype dtype() const { return numpyType(open().h.dtype); }
    std::string path() const { return open().path; }
    int32_t held() const { return open().h.nz > 0 ? index_.held : 0; }
    std::string heldWhy() const { return index_.why; }

    py::array blockOffsets() const
    {
        const OpenFile &f = open();
        py::array_t<int64_t> offsets(f.h.nz);
        int64_t *o = offsets.mutable_data();
        std::fill(o, o + f.h.nz, int64_t(-1));
        std::copy(index_.offsets, index_.offsets + index_.held, o);
        return std::move(offsets);
    }

    // Slices zs (each 0 .. nz - 1) into a new array (len(zs), ny, nx).
    py::array read(const std::vector<int64_t> &zs, const py::object &out)
    {
        std::shared_lock<std::shared_mutex> alive(closing_);
        const OpenFile &f = open();
        std::vector<int64_t> offsets;
        offsets.reserve(zs.size());
        for (int64_t z : zs) {
            if (z >= index_.held) {
                if (z == index_.held && index_.why[0] != '\0')
                    blockFault(f.path, z, index_.why);
                valueError(notHeld(f.path, z));
            }
            checkBlockLength(f, z, index_.lengths[z]);
            offsets.push_back(index_.offsets[z]);
        }
        py::array slices = newSlices(f, zs.size(), out);
        unsigned char *dest = static_cast<unsigned char *>(slices.mutable_data());
        VrdBlockResult fault{};
        int64_t bad = -1;
        std::string why;
        {
            py::gil_scoped_release free;
            if (zs.size() < 3) {
                bad = decodeEach(f, offsets, dest, &fault);
            } else {
                std::lock_guard<std::mutex> one(engineRun_);
                bad = decodeOnEngine(f, offsets, dest, &fault, why);
            }
        }
        if (bad == -2)
            throw std::bad_alloc();
        if (bad >= 0)
            blockFault(f.path, zs[size_t(bad)], oneLine(fault.message));
        return slices;
    }

private:
    const OpenFile &open() const
    {
        if (file_ == nullptr)
            valueError("I/O operation on a closed volume");
        return *file_;
    }
    void closeNow()
    {
        std::unique_lock<std::shared_mutex> last(closing_);
        file_.reset();
        vrdFreeBlockIndex(&index_);
    }

    std::unique_ptr<OpenFile> file_;
    VrdBlockIndex index_{};
    mutable std::shared_mutex closing_; // reads share it; closing waits for them
    std::mutex engineRun_;
};

py::array readBlocks(const std::string &path, int64_t z0, const std::vector<int64_t> &offsets, const py::object &out)
{
    OpenFile f(path);
    struct stat info;
    const int64_t size = fstat(f.fd(), &info) == 0 ? int64_t(info.st_size) : INT64_MAX;
    // Every block's length field first: nothing is had for slices the file
    // cannot hold.
    for (size_t i = 0; i < offsets.size(); ++i) {
        const int64_t z = z0 + int64_t(i);
        unsigned char field[4];
        if (offsets[i] < 0)
            valueError(notHeld(path, z));
        if (offsets[i] > size - 4 || pread(f.fd(), field, 4, offsets[i]) != 4)
            blockFault(path, z, "ReadLong error (1)");
        const uint32_t length = uint32_t(field[0]) << 24 | uint32_t(field[1]) << 16 | uint32_t(field[2]) << 8 | field[3];
        checkBlockLength(f, z, length);
    }
    py::array slices = newSlices(f, offsets.size(), out);
    VrdBlockResult fault{};
    int64_t bad = -1;
    {
        py::gil_scoped_release free;
        bad = decodeEach(f, offsets, static_cast<unsigned char *>(slices.mutable_data()), &fault);
    }
    if (bad >= 0)
        blockFault(path, z0 + bad, oneLine(fault.message));
    return slices;
}

// ---- writing

// Memory for the slices of a stream, had as they come: a mapping whose pages
// are committed as they are written, moved to a larger one (mremap, no copy)
// when full. Its pages go to numpy with the array at the end.
class GrowingSlices {
public:
    GrowingSlices(uint64_t sliceBytes, uint64_t most) : slice_(sliceBytes), most_(most) {}
    ~GrowingSlices()
    {
        if (data_ != nullptr)
            munmap(data_, capacity_);
    }
    // Room for slice z; null when the memory cannot be had.
    unsigned char *room(uint64_t z)
    {
        const uint64_t need = (z + 1) * slice_;
        if (need > capacity_) {
            const uint64_t want = std::min(std::max(need, 2 * capacity_), most_);
            void *grown = data_ == nullptr
                              ? mmap(nullptr, size_t(want), PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
                              : mremap(data_, capacity_, size_t(want), MREMAP_MAYMOVE);
            if (grown == MAP_FAILED)
                return nullptr;
            data_ = static_cast<unsigned char *>(grown), capacity_ = size_t(want);
        }
        return data_ + z * slice_;
    }
    // The first `count` slices as an array that owns the mapping.
    py::array release(const py::dtype &type, int64_t count, int64_t ny, int64_t nx)
    {
        if (data_ == nullptr)
            return py::array(type, std::vector<ssize_t>{0, ssize_t(ny), ssize_t(nx)});
        const size_t used = std::max<size_t>(size_t(uint64_t(count) * slice_), 1);
        if (used < capacity_ && mremap(data_, capacity_, used, 0) != MAP_FAILED)
            capacity_ = used;
        struct Owned { void *data; size_t size; };
        auto *owned = new Owned{data_, capacity_};
        py::capsule free(owned, [](void *o) {
            auto *m = static_cast<Owned *>(o);
            munmap(m->data, m->size);
            delete m;
        });
        unsigned char *data = data_;
        data_ = nullptr;
        return py::array(type, std::vector<ssize_t>{ssize_t(count), ssize_t(ny), ssize_t(nx)}, data, free);
    }

private:
    uint64_t slice_, most_;
    unsigned char *data_ = nullptr;
    size_t capacity_ = 0;
};

// A whole volume from a file that is no regular file (a pipe, a FIFO), whose
// blocks can only be read one after the other: (header, array). The header
// cannot be checked against a size, so memory follows the bytes that come: a
// slice's block is read into memory that is committed as it is written, and
// the array grows by the slices read. The first block not read whole ends the
// read with the file's name and its slice.
py::tuple readStream(const std::string &path)
{
    OpenFile f(path);
    const int64_t nz = f.h.nz, ny = f.h.ny, nx = f.h.nx;
    GrowingSlices slices(f.sliceBytes, uint64_t(nz) * f.sliceBytes);
    VrdBlockResult fault{};
    int64_t z = 0;
    bool roomless = false;
    {
        py::gil_scoped_release free;
        VrdCodec *codec = vrdCodecNew(vrdCodecInflate | vrdCodecStream, nullptr);
        for (; codec != nullptr && z < nz; ++z) {
            unsigned char *slice = slices.room(uint64_t(z));
            if (slice == nullptr) {
                roomless = true;
                break;
            }
            if (!vrdReadBlock(f.file, codec, slice, f.h.endian, vrdVoxelSize(f.h.dtype), int32_t(nx * ny),
                              f.h.compression, &fault))
                break;
        }
        roomless = roomless || codec == nullptr;
        vrdCodecFree(codec);
    }
    if (roomless)
        throw std::bad_alloc();
    if (z < nz)
        blockFault(f.path, z, fault.lengthEnded != 0 ? "the data end before its block" : oneLine(fault.message));
    return py::make_tuple(headerDict(f.h, f.p), slices.release(numpyType(f.h.dtype), nz, ny, nx));
}

struct HeaderStore {
    VrdHeader h{};
    std::vector<float> rx, ry, rz;
    std::vector<std::string> commentText, tfText;
    std::vector<char *> commentPointers, tfPointers;
};

void floatList(const py::object &values, std::vector<float> &into, float **field)
{
    if (values.is_none())
        return;
    for (const py::handle v : values)
        into.push_back(v.cast<float>());
    *field = into.data();
}

// The header of a new volume from the package's keywords, checked by the
// library's own validation.
void buildHeader(HeaderStore &s, const py::dict &fields, int32_t nz, int32_t ny, int32_t nx, int32_t dtype)
{
    VrdHeader &h = s.h;
    h.versionMajor = 6;
    h.compression = fields["compression"].cast<int32_t>();
    h.endian = fields["endian"].cast<int32_t>();
    h.nx = nx, h.ny = ny, h.nz = nz;
    h.vtype = fields["vtype"].cast<int32_t>();
    h.px = fields["px"].cast<float>();
    h.py = fields["py"].cast<float>();
    h.pz = fields["pz"].cast<float>();
    floatList(fields["rx"], s.rx, &h.rx);
    floatList(fields["ry"], s.ry, &h.ry);
    floatList(fields["rz"], s.rz, &h.rz);
    if ((h.rx != nullptr && s.rx.size() != size_t(nx)) || (h.ry != nullptr && s.ry.size() != size_t(ny)) ||
        (h.rz != nullptr && s.rz.size() != size_t(nz)))
        valueError("rx, ry and rz hold nx, ny and nz spacings");
    h.units = fields["units"].cast<int32_t>();
    h.nbands = 1;
    h.dtype = dtype;
    const py::object bg = fields["bg_threshold"];
    if (!bg.is_none()) {
        h.hasBgThreshold = 1;
        if (dtype == vrdFloat || dtype == vrdDouble)
            h.bgThresholdF = bg.cast<float>();
        else
            h.bgThresholdI = py::int_(bg).cast<int32_t>();
    }
    for (const py::handle c : fields["comments"])
        s.commentText.push_back(c.cast<std::string>());
    for (std::string &c : s.commentText)
        s.commentPointers.push_back(&c[0]);
    h.commentCount = int32_t(s.commentPointers.size());
    h.comments = s.commentPointers.empty() ? nullptr : s.commentPointers.data();
    const py::list functions = fields["transfer_functions"];
    std::vector<bool> present;
    for (const py::handle f : functions)
        for (const py::handle v : f) {
            present.push_back(!v.is_none());
            s.tfText.push_back(v.is_none() ? std::string() : v.cast<std::string>());
        }
    for (size_t i = 0; i < s.tfText.size(); ++i)
        s.tfPointers.push_back(present[i] ? &s.tfText[i][0] : nullptr);
    h.tfnum = int32_t(functions.size());
    h.tfdata = s.tfPointers.empty() ? nullptr : s.tfPointers.data();
    const int32_t broken = vrdCheckHeaderR(&h);
    if (broken != 0)
        valueError(vrdErrorMessages[broken]);
}

class Writer {
public:
    Writer(const std::string &path, int64_t nz, int64_t ny, int64_t nx, const py::dtype &type, const py::dict &fields,
           const py::object &deflate)
        : path_(path)
    {
        dtype_ = vrdType(type);
        if (dtype_ == 0)
            unsupportedType(type);
        for (int64_t n : {nz, ny, nx})
            if (n < 1 || n > INT32_MAX)
                valueError("volume of shape (" + std::to_string(nz) + ", " + std::to_string(ny) + ", " +
                           std::to_string(nx) + "): every dimension must be 1 to 2147483647");
        sliceBytes_ = uint64_t(vrdVoxelSize(dtype_)) * uint64_t(nx) * uint64_t(ny);
        if (sliceBytes_ > UINT32_MAX || uint64_t(nx) * uint64_t(ny) > INT32_MAX)
            valueError("slices of " + std::to_string(nx) + " x " + std::to_string(ny) +
                       " values are too large for a block");
        buildHeader(spec_, fields, int32_t(nz), int32_t(ny), int32_t(nx), dtype_);
        deflate_ = deflateOf(deflate);

        char message[200] = "";
        int fd = -1;
        int why = 0;
        {
            py::gil_scoped_release free;
            // An unnamed file where the filesystem has them: a process killed
            // any way leaves nothing behind.
            fd = vrdOpenOutputFileUnnamed(path.c_str(), target_, sizeof target_, temporary_, sizeof temporary_,
                                          &how_);
            why = errno;
            if (fd >= 0 && (file_ = fdopen(fd, "wb")) == nullptr) {
                why = errno;
                close(fd);
                removeTemporary();
            }
        }
        if (file_ == nullptr)
            osError(why, "cannot create the volume: " + std::string(strerror(why)), path);
        bool written = false;
        {
            py::gil_scoped_release free;
            written = vrdWriteHeaderR(file_, &spec_.h, int32_t(nx), int32_t(ny), message, sizeof message);
            blocksStart_ = ftello(file_);
            why = errno;
        }
        if (!written) {
            abort();
            osError(why != 0 ? why : EIO, std::string(message) + ": " + strerror(why != 0 ? why : EIO), path);
        }
    }
    ~Writer() { abortNow(); }

    int64_t written() const { return written_; }

    void writeSlices(const py::array &a)
    {
        ensureOpen();
        const int32_t dtype = checkVolumeArray(a);
        if (dtype != dtype_)
            throw py::type_error("slices of " + nameOf(a.dtype()) + " for a volume of " + kDtypeWords[dtype_ - 1]);
        if (a.shape(1) != spec_.h.ny || a.shape(2) != spec_.h.nx)
            valueError("slices of shape (" + std::to_string(a.shape(1)) + ", " + std::to_string(a.shape(2)) +
                       ") and type " + nameOf(a.dtype()) + " for a volume of (" +
                       std::to_string(spec_.h.ny) + ", " + std::to_string(spec_.h.nx) + ") " + kDtypeWords[dtype_ - 1]);
        checkRoom(a.shape(0));
        Slices job{stridedOf(a, spec_.h.endian == vrdLittleEndian)};
        VrdHeader source{};
        source.nx = spec_.h.nx, source.ny = spec_.h.ny, source.nz = int32_t(a.shape(0)), source.dtype = vrdUChar;
        VrdEngineInput input = {nullptr, &source, noSource};
        VrdEngineSetup setup{};
        setup.inputCount = 1;
        setup.inputs = &input;
        setup.outputDtype = dtype_;
        setup.outputCompression = spec_.h.compression;
        setup.deflate = deflate_;
        setup.compute = gatherSlice;
        setup.user = &job;
        setup.flags = vrdEngineQuiet | vrdEngineKeepGoing;
        char why[200] = "";
        int64_t damaged = 0;
        int error = 0;
        {
            py::gil_scoped_release free;
            VrdEngine *engine = vrdEngineNew(&setup, why, sizeof why);
            if (engine != nullptr) {
                errno = 0;
                vrdEngineRun(engine, file_);
                error = errno;
                damaged = vrdEngineDamaged(engine, -1);
                vrdEngineFree(engine);
            } else {
                damaged = -1;
            }
        }
        if (damaged == -1)
            throw std::bad_alloc();
        written_ += a.shape(0);
        if (damaged > 0 || ferror(file_))
            writeFault(error);
    }

    void writeBlocks(const py::list &blocks)
    {
        ensureOpen();
        checkRoom(int64_t(blocks.size()));
        std::vector<std::string> held; // the bytes, read while the GIL is held
        for (const py::handle b : blocks) {
            std::string bytes = b.cast<py::bytes>();
            const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data());
            if (bytes.size() < 4 || (uint64_t(p[0]) << 24 | uint64_t(p[1]) << 16 | uint64_t(p[2]) << 8 | p[3]) + 4 !=
                                        bytes.size())
                valueError("a block is its 4-byte length field and as many bytes as it gives");
            held.push_back(std::move(bytes));
        }
        bool failed = false;
        int error = 0;
        {
            py::gil_scoped_release free;
            for (const std::string &b : held)
                if (fwrite(b.data(), 1, b.size(), file_) < b.size()) {
                    failed = true;
                    error = errno;
                    break;
                }
        }
        written_ += int64_t(held.size());
        if (failed)
            writeFault(error);
    }

    void setPreview(const py::array &slice)
    {
        ensureOpen();
        if (slice.ndim() != 2 || slice.shape(0) != spec_.h.ny || slice.shape(1) != spec_.h.nx)
            valueError("the preview slice has the shape (" + std::to_string(spec_.h.ny) + ", " +
                       std::to_string(spec_.h.nx) + ")");
        if (vrdType(slice.dtype()) != dtype_)
            unsupportedType(slice.dtype());
        py::array as3 = slice.attr("reshape")(py::make_tuple(1, spec_.h.ny, spec_.h.nx));
        const Strided s = stridedOf(as3, kLittleMachine); // in this machine's order
        preview_.assign(size_t(sliceBytes_), 0);
        s.gather(0, preview_.data());
    }

    void finish()
    {
        ensureOpen();
        if (written_ != spec_.h.nz) {
            const std::string text = path_ + ": " + std::to_string(written_) + " of " + std::to_string(spec_.h.nz) +
                                     " slices written";
            abort();
            valueError(text);
        }
        int error = 0;
        bool ok = true;
        {
            py::gil_scoped_release free;
            struct stat info;
            const int mode = fcntl(fileno(file_), F_GETFL);
            if (!preview_.empty() && blocksStart_ >= 0 && fstat(fileno(file_), &info) == 0 && S_ISREG(info.st_mode) &&
                mode >= 0 && !(mode & O_APPEND)) {
                const int64_t iconOffset = blocksStart_ - int64_t(spec_.h.nx) * spec_.h.ny;
                ok = vrdWritePreview(file_, iconOffset, preview_.data(), dtype_, spec_.h.nx, spec_.h.ny) == 1;
                error = errno;
            }
            ok = fflush(file_) == 0 && ok && !ferror(file_);
            if (!ok && error == 0)
                error = errno;
            if (ok && how_ == vrdOutputUnnamed &&
                vrdLinkOutputFile(fileno(file_), target_, temporary_, sizeof temporary_) != 0) {
                ok = false;
                error = errno;
            }
            const int closed = fclose(file_);
            file_ = nullptr;
            if (closed != 0 && ok) {
                ok = false;
                error = errno;
            }
            if (ok && how_ == vrdOutputBeside) {
                if (vrdCommitOutputFile(temporary_, target_) != 0) {
                    ok = false;
                    error = errno;
                }
            }
            if (!ok)
                removeTemporary();
            temporary_[0] = '\0';
        }
        if (!ok)
            osError(error != 0 ? error : EIO, "cannot write the volume: " + std::string(strerror(error != 0 ? error : EIO)),
                    path_);
    }

    void abort()
    {
        py::gil_scoped_release free;
        abortNow();
    }

    bool closed() const { return file_ == nullptr; }

private:
    struct Slices {
        Strided array;
    };

    static void noSource(void *, int32_t, void *, VrdBlockResult *) {}

    static void gatherSlice(void *user, int32_t, int32_t z, const void *const *, void *out, int32_t, void *)
    {
        static_cast<const Slices *>(user)->array.gather(z, static_cast<unsigned char *>(out));
    }

    void ensureOpen() const
    {
        if (file_ == nullptr)
            valueError(path_ + ": the writer is closed");
    }

    void checkRoom(int64_t more) const
    {
        if (written_ + more > spec_.h.nz)
            valueError(path_ + ": " + std::to_string(written_ + more) + " slices for a volume of " +
                       std::to_string(spec_.h.nz));
    }

    [[noreturn]] void writeFault(int error)
    {
        if (error == 0)
            error = EIO;
        abort();
        osError(error, "cannot write the volume: " + std::string(strerror(error)), path_);
    }

    void removeTemporary()
    {
        if ((how_ == vrdOutputBeside || how_ == vrdOutputUnnamed) && temporary_[0] != '\0')
            unlink(temporary_);
        temporary_[0] = '\0';
    }

    void abortNow()
    {
        if (file_ != nullptr) {
            fclose(file_);
            file_ = nullptr;
        }
        removeTemporary();
    }

    std::string path_;
    HeaderStore spec_;
    VrdDeflate deflate_{};
    int32_t dtype_ = 0;
    uint64_t sliceBytes_ = 0;
    FILE *file_ = nullptr;
    char target_[PATH_MAX + 1] = "";
    char temporary_[PATH_MAX + 64] = "";
    int32_t how_ = 0;
    int64_t blocksStart_ = -1;
    int64_t written_ = 0;
    std::vector<unsigned char> preview_;
};

py::list encodeBlocks(const py::array &a, const std::string &compression, const py::object &deflate,
                      const std::string &endian)
{
    checkVolumeArray(a);
    const int32_t code = compressionOf(compression);
    const VrdDeflate setting = deflateOf(deflate);
    const uint64_t sliceBytes = uint64_t(a.itemsize()) * uint64_t(a.shape(1)) * uint64_t(a.shape(2));
    if (sliceBytes > UINT32_MAX)
        valueError("slices of " + std::to_string(a.shape(2)) + " x " + std::to_string(a.shape(1)) +
                   " values are too large for a block");
    const Strided s = stridedOf(a, endianOf(endian) == vrdLittleEndian);
    std::unique_ptr<VrdCodec, void (*)(VrdCodec *)> codec(vrdCodecNew(vrdCodecDeflate, &setting), vrdCodecFree);
    if (codec == nullptr)
        throw std::bad_alloc();
    std::vector<unsigned char> slice(sliceBytes);
    std::vector<unsigned char> block(vrdBlockBound(codec.get(), uint32_t(sliceBytes), code));
    py::list blocks;
    for (ssize_t z = 0; z < a.shape(0); ++z) {
        uint64_t size = 0;
        VrdBlockResult r{};
        int32_t ok = 0;
        {
            py::gil_scoped_release free;
            s.gather(z, slice.data());
            ok = vrdEncodeBlock(codec.get(), slice.data(), uint32_t(sliceBytes), code, block.data(), block.size(),
                                &size, &r);
        }
        if (!ok)
            valueError("slice " + std::to_string(z) + ": " + oneLine(r.message));
        blocks.append(py::bytes(reinterpret_cast<const char *>(block.data()), size_t(size)));
    }
    return blocks;
}

// ---- the programs' per-voxel functions

py::array nativeContiguous(const py::array &a)
{
    if (vrdType(a.dtype()) == 0)
        unsupportedType(a.dtype());
    py::module_ np = py::module_::import("numpy");
    py::dtype native = a.dtype().attr("newbyteorder")("=");
    return np.attr("ascontiguousarray")(a, native);
}

// Runs fn over count values in pieces on the cores.
template <class Fn>
void onCores(size_t count, Fn fn)
{
    const size_t threads = count < (size_t(1) << 20) ? 1 : size_t(std::max(1, int(vrdDefaultThreads())));
    if (threads == 1) {
        fn(size_t(0), count);
        return;
    }
    std::vector<std::thread> pool;
    const size_t piece = (count + threads - 1) / threads;
    for (size_t first = 0; first < count; first += piece)
        pool.emplace_back(fn, first, std::min(piece, count - first));
    for (std::thread &t : pool)
        t.join();
}

py::array window(const py::array &input, double lo, double mid1, double mid2, double hi)
{
    const py::array a = nativeContiguous(input);
    const int32_t dtype = vrdType(a.dtype());
    std::vector<ssize_t> shape(a.shape(), a.shape() + a.ndim());
    py::array_t<float> out(shape);
    const volmap::Window w{float(lo), float(mid1), float(mid2), float(hi)};
    const unsigned char *in = static_cast<const unsigned char *>(a.data());
    float *o = out.mutable_data();
    const size_t size = size_t(a.itemsize());
    {
        py::gil_scoped_release free;
        onCores(size_t(a.size()), [&](size_t first, size_t count) {
            volmap::windowSlice(in + first * size, dtype, o + first, count, w);
        });
    }
    return std::move(out);
}

py::array compare(const py::array &first, const py::array &second)
{
    const py::array a = nativeContiguous(first), b = nativeContiguous(second);
    if (a.ndim() != b.ndim() || !std::equal(a.shape(), a.shape() + a.ndim(), b.shape()))
        valueError("Images of different size!");
    const int32_t ta = vrdType(a.dtype()), tb = vrdType(b.dtype());
    std::vector<ssize_t> shape(a.shape(), a.shape() + a.ndim());
    py::array_t<float> out(shape);
    const unsigned char *pa = static_cast<const unsigned char *>(a.data());
    const unsigned char *pb = static_cast<const unsigned char *>(b.data());
    const size_t sa = size_t(a.itemsize()), sb = size_t(b.itemsize());
    float *o = out.mutable_data();
    {
        py::gil_scoped_release free;
        onCores(size_t(a.size()), [&](size_t from, size_t count) {
            volcmp::compareSlices(pa + from * sa, ta, pb + from * sb, tb, o + from, count);
        });
    }
    return std::move(out);
}

py::array preview(const py::array &slice)
{
    if (slice.ndim() != 2)
        valueError("a slice has 2 dimensions, not " + std::to_string(slice.ndim()));
    const py::array a = nativeContiguous(slice);
    if (uint64_t(a.size()) > INT32_MAX)
        valueError("a slice of more than 2147483647 values has no icon");
    py::array_t<uint8_t> icon({a.shape(0), a.shape(1)});
    const int32_t dtype = vrdType(a.dtype()), count = int32_t(a.size());
    {
        py::gil_scoped_release free;
        double lo = 0, hi = 0;
        if (!vrdPreviewRange(a.data(), dtype, count, &lo, &hi))
            hi = lo;
        vrdPreviewPixels(a.data(), dtype, 0, count, lo, hi, icon.mutable_data());
    }
    return std::move(icon);
}

} // namespace

PYBIND11_MODULE(_vrd, m)
{
    m.doc() = "The compiled part of the vrd package; use the package itself.";
    m.attr("version") = vrdVersion();
    m.attr("messages") = [] {
        py::list list;
        for (const char *text : vrdErrorMessages)
            list.append(text);
        return list;
    }();

    py::class_<Volume>(m, "Volume")
        .def(py::init<const std::string &>())
        .def("close", &Volume::close)
        .def_property_readonly("closed", &Volume::closed)
        .def_property_readonly("header", &Volume::header)
        .def_property_readonly("shape", &Volume::shape)
        .def_property_readonly("dtype", &Volume::dtype)
        .def_property_readonly("path", &Volume::path)
        .def_property_readonly("held", &Volume::held)
        .def_property_readonly("held_why", &Volume::heldWhy)
        .def_property_readonly("block_offsets", &Volume::blockOffsets)
        .def("read", &Volume::read, py::arg("zs"), py::arg("out") = py::none());

    py::class_<Writer>(m, "Writer")
        .def(py::init<const std::string &, int64_t, int64_t, int64_t, const py::dtype &, const py::dict &,
                      const py::object &>())
        .def("write_slices", &Writer::writeSlices)
        .def("write_blocks", &Writer::writeBlocks)
        .def("set_preview", &Writer::setPreview)
        .def("close", &Writer::finish)
        .def("abort", &Writer::abort)
        .def_property_readonly("closed", &Writer::closed)
        .def_property_readonly("written", &Writer::written);

    m.def("read_stream", &readStream, py::arg("path"));
    m.def("read_blocks", &readBlocks, py::arg("path"), py::arg("z0"), py::arg("offsets"), py::arg("out") = py::none());
    m.def("encode_blocks", &encodeBlocks, py::arg("array"), py::arg("compression"), py::arg("deflate"),
          py::arg("endian"));
    m.def("window", &window);
    m.def("compare", &compare);
    m.def("preview", &preview);
}
