"""Reading and writing vrd volume files with numpy.

A vrd file is a binary PNM image: "P5" (one band) or "P6", the size of a
small preview image (the icon), header lines that begin with "#!" up to
"#!last", "255", the icon's pixels, and then one block per slice: a 4-byte
big-endian length and the slice's bytes, raw or as one zlib stream.

    header, volume = vrd.read("ct.vrd")        # volume[z, y, x]
    vrd.write("copy.vrd", volume, spacing=(0.5, 0.5, 2.0), units="mm")
    icon = vrd.preview(volume[volume.shape[0] // 2])

read(path) returns (header, volume). The volume is a numpy array of shape
(nz, ny, nx) in the file's data type, in this machine's byte order:

    vrdUChar uint8, vrdChar int8, vrdUInt12 and vrdUInt16 uint16,
    vrdInt16 and vrdIntHU int16, vrdUInt32 uint32, vrdInt32 int32,
    vrdFloat float32, vrdDouble float64.

The header is a dict:

    version             (major, minor) of the file's format line
    compression         'zlib' or 'none'
    endian              'big' or 'little': byte order of the values in the file
    nx, ny, nz          values per row, rows per slice, slices
    vtype               'cubic', 'regular', 'rectz' or 'rectxyz'
    spacing             (px, py, pz); all three px for 'cubic'; None where the
                        grid has a list instead: pz of 'rectz', all of 'rectxyz'
    rx, ry, rz          lists of nx, ny and nz spacings ('rectxyz'; rz also for
                        'rectz'), else None
    units               'um', 'mm' or 'm'
    nbands              1 (volumes with more bands are refused)
    dtype               the file's keyword, e.g. 'vrdFloat'
    bg_threshold        the background threshold (float for vrdFloat and
                        vrdDouble, else int), or None
    comments            list of str (UTF-8; other bytes kept as surrogate escapes)
    transfer_functions  list of (d, r, g, b, a) strings, None where the file
                        left an entry empty
    icon                (width, height) of the preview image

Spacings are the single-precision values the file gives, as Python floats.
The header is read as the C library reads it: keys in any order, any white
space between a key and its value, zlib when there is no compression line, a
cubic grid's px standing for all three spacings. A file that the C library
refuses raises ValueError with its message; so does a damaged slice block
(the message names the file and the slice) and a volume of several bands.
A file that cannot be opened raises OSError.

write(path, array, spacing=1.0, units='mm', compression='zlib',
endian='little', comments=()) writes a 3-D array of one of the types above
(uint16 as vrdUInt16, int16 as vrdInt16; any other type raises TypeError):
a cubic grid when spacing is one number, a regular one for (px, py, pz). The
header lines are those the C library writes for the same header, and the
icon is preview() of the middle slice. Spacings are written with six
decimals, so each must be finite and at least 0.0000005; comments may not
hold line feeds or NUL bytes, and, as in the C writer, one longer than 1999
bytes is cut to 1998.

preview(slice2d) returns the uint8 icon image of one slice.
"""

import re
import zlib
from fractions import Fraction

import numpy as np

__all__ = ["read", "write", "preview"]

# The library's messages, by error number.
_MESSAGES = (
    "no vrd error", "file open error", "PNM header error", "incorrect PNM type",
    "icon image error", "not an vrd format file", "error reading PNM header line",
    "unknown 'endian' value", "unknown 'vtype' value", "unknown 'ctype' value",
    "unknown 'nbands' value", "unknown 'dtype' value", "unknown 'units' value",
    "comment line allocation error", "allocation error",
) + tuple("vrd format error - " + m for m in (
    "endian missing", "incorrect volume dimensions", "vtype missing", "units missing",
    "nbands missing", "dtype missing", "comments missing", "px equal 0 or missing",
    "py equal 0 or missing", "pz equal 0 or missing", "rx sum is 0", "ry sum is 0",
    "rz sum is 0", "rx equal 0", "ry equal 0", "rz equal 0", "too many transfer functions",
    "too few transfer functions", "transfer function array allocation error", "tfnum missing",
)) + (
    "Version of the input vrd file is newer than version of your software, please upgrade",
    "vrd format error - compression type missing",
)

_COMPRESSION = {"zlib": 1, "none": 2}
_ENDIAN = {"big": 1, "little": 2}
_VTYPE = {"cubic": 1, "regular": 2, "rectz": 3, "rectxyz": 4}
_UNITS = {"um": 1, "mm": 2, "m": 3}
_DTYPES = ("vrdUChar", "vrdChar", "vrdUInt12", "vrdUInt16", "vrdInt16", "vrdIntHU",
           "vrdUInt32", "vrdInt32", "vrdFloat", "vrdDouble")
_NUMPY_TYPES = ("u1", "i1", "u2", "u2", "i2", "i2", "u4", "i4", "f4", "f8")
# The dtype code written for each numpy type: never vrdUInt12 or vrdIntHU.
_WRITTEN_TYPE = {np.dtype(t): code for t, code in (
    ("u1", 1), ("i1", 2), ("u2", 4), ("i2", 5), ("u4", 7), ("i4", 8), ("f4", 9), ("f8", 10))}
_CUBIC, _REGULAR, _RECTZ, _RECTXYZ = 1, 2, 3, 4
_FLOAT_CODES = (9, 10)

_KEY_WORDS = {  # file keyword -> code, per key
    "compression": {b"zlib": 1, b"none": 2},
    "endian": {b"vrdBigEndian": 1, b"vrdLittleEndian": 2},
    "vtype": {b"vrdCubic": 1, b"vrdRegular": 2, b"vrdRectZ": 3, b"vrdRectXYZ": 4},
    "ctype": {b"vrdMono": 1, b"vrdColor": 3},
    "dtype": {w.encode(): code for code, w in enumerate(_DTYPES, 1)},
    "units": {b"vrdUum": 1, b"vrdUmm": 2, b"vrdUm": 3},
}
_BANNER = (
    b"**************************************************************",
    b"**                          vrd                             **",
    b"**      Format for storage of 3D volumetric data sets       **",
    b"**                                                          **",
    b"**  https://volumes.example.org/vrd/                        **",
    b"**************************************************************",
)

_LINE_LIMIT = 2049         # the C reader reads lines in pieces of this many bytes
_MAX_SPACING_ENTRIES = 1 << 24
_MAX_TRANSFER_FUNCTIONS = 4096  # the C reader's bound
_CHUNK = 1 << 20
_BLOCK_LIMIT = 0xFFFFFFFF  # a block length has 32 bits


class _Refusal(Exception):
    """A file the C reader refuses, with the library's error number."""


# --- the C reader's sscanf conversions -------------------------------------

_SPACE = frozenset(b" \t\n\v\f\r")
_INT = re.compile(rb"[+-]?[0-9]+")
_WORD = re.compile(rb"[^ \t\n\v\f\r]+")
_FLOAT = re.compile(rb"""(?P<sign>[+-]?)(?:
      0[xX](?P<hex>[0-9a-fA-F]+(?:\.[0-9a-fA-F]*)?|\.[0-9a-fA-F]+)(?:[pP](?P<hexp>[+-]?[0-9]+))?
    | (?P<dec>[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE](?P<exp>[+-]?[0-9]+))?
    | (?P<inf>[iI][nN][fF](?:[iI][nN][iI][tT][yY])?)
    | (?P<nan>[nN][aA][nN])(?:\([0-9A-Za-z_]*\))?)""", re.X)
_HEX_START = re.compile(rb"[+-]?0[xX]")


def _to_int32(text):
    """A %d value: glibc saturates at the long range, then keeps 32 bits."""
    value = max(-(1 << 63), min((1 << 63) - 1, int(text)))
    return (value + (1 << 31)) % (1 << 32) - (1 << 31)


def _nearest_float32(q):
    """The float32 nearest to the non-negative Fraction q, ties to even."""
    with np.errstate(over="ignore"):
        guess = np.float32(float(q))
    candidates = [np.nextafter(guess, np.float32(0)), guess,
                  np.nextafter(guess, np.float32(np.inf))]

    def exact(c):  # infinity stands for 2**128, where float32 rounding overflows
        return Fraction(2) ** 128 if np.isinf(c) else Fraction(float(c))

    return min(candidates, key=lambda c: (abs(exact(c) - q), int(c.view(np.uint32)) & 1))


def _to_float32(m):
    """A %f value: rounded once, straight to float, as strtof does."""
    negative = m.group("sign") == b"-"
    if m.group("nan") is not None:
        value = np.float32(np.nan)
    elif m.group("inf") is not None:
        value = np.float32(np.inf)
    else:
        if m.group("hex") is not None:
            digits, base, exp = m.group("hex"), 16, int(m.group("hexp") or 0)
            scale = 2
        else:
            digits, base, exp = m.group("dec"), 10, int(m.group("exp") or 0)
            scale = 10
        whole, _, fraction = digits.partition(b".")
        mantissa = int(whole + fraction or b"0", base)
        # base ** len(fraction) = scale ** shift
        exp -= len(fraction) * (4 if base == 16 else 1)
        magnitude = len(str(mantissa)) + (exp if scale == 10 else exp * 0.30103)
        if mantissa == 0 or magnitude < -50:
            value = np.float32(0)
        elif magnitude > 40:
            value = np.float32(np.inf)
        else:
            value = _nearest_float32(Fraction(mantissa) * Fraction(scale) ** exp)
    return -value if negative else value


def _scan(fmt, line):
    """The values that C's sscanf(line, fmt) stores, in order, up to where
    matching stops (it stores the ones before a failure too)."""
    values, i, k = [], 0, 0
    while k < len(fmt):
        c = fmt[k]
        if c in _SPACE:
            while i < len(line) and line[i] in _SPACE:
                i += 1
            k += 1
            continue
        if c != ord("%"):
            if i >= len(line) or line[i] != c:
                break
            i, k = i + 1, k + 1
            continue
        conversion = fmt[k + 1:k + 2]
        k += 2
        if conversion == b"c":
            if i >= len(line):
                break
            values.append(line[i:i + 1])
            i += 1
            continue
        if conversion == b"[":
            end = fmt.index(b"]", k)
            m = re.compile(b"[" + fmt[k:end] + b"]+").match(line, i)
            k = end + 1
            if m is None:
                break
            values.append(m.group())
            i = m.end()
            continue
        while i < len(line) and line[i] in _SPACE:
            i += 1
        if conversion == b"f" and _HEX_START.match(line, i) and not _FLOAT.match(line, i).group("hex"):
            break  # glibc takes "0x" as the start of a hex float and fails on what follows
        m = {b"d": _INT, b"s": _WORD, b"f": _FLOAT}[conversion].match(line, i)
        if m is None:
            break
        values.append(_to_int32(m.group()) if conversion == b"d" else
                      _to_float32(m) if conversion == b"f" else m.group())
        i = m.end()
    return values


# --- header ------------------------------------------------------------------

class _Record:
    """The C header record and the state of one header read."""

    def __init__(self):
        self.compression = 1  # a file without a compression line is zlib
        self.endian = self.nx = self.ny = self.nz = self.vtype = 0
        self.px = self.py = self.pz = np.float32(0)
        self.rx = self.ry = self.rz = None
        self.units = self.nbands = self.dtype = 0
        self.has_bg = False
        self.bg_float, self.bg_int = np.float32(0), 0
        self.comments = []
        self.tfnum, self.tfdata = 0, []
        # spacing arrays' sizes as set up by the last vtype line, next entries
        self.sizes, self.next = [0, 0, 0], [0, 0, 0]
        self.tf_slots = self.tf_function = self.tf_component = 0


def _set_up_spacing_arrays(h):
    h.rx = h.ry = h.rz = None
    h.sizes = [0, 0, 0]
    axes = {_RECTXYZ: (0, 1, 2), _RECTZ: (2,)}.get(h.vtype, ())
    for axis in axes:
        count = (h.nx, h.ny, h.nz)[axis]
        if count > _MAX_SPACING_ENTRIES:
            raise _Refusal(14)
        setattr(h, "r" + "xyz"[axis], np.zeros(max(count, 0), np.float32))
        h.sizes[axis], h.next[axis] = max(count, 0), 0


def _store_spacing(h, axis, value):
    array = getattr(h, "r" + "xyz"[axis])
    if array is not None and h.next[axis] < h.sizes[axis]:
        array[h.next[axis]] = value
        h.next[axis] += 1


def _read_spacing(h, axis, value):
    if h.vtype == _RECTXYZ or (h.vtype == _RECTZ and axis == 2):
        _store_spacing(h, axis, value)
    elif h.vtype == _CUBIC and axis == 0:
        h.px = h.py = h.pz = value
    else:
        setattr(h, "p" + "xyz"[axis], value)


def _apply_key(h, line):
    """Applies the key a header line holds, as the C reader does."""
    dims = _scan(b"#!vdim %d %d %d", line)
    for name, value in zip(("nx", "ny", "nz"), dims):
        setattr(h, name, value)
    if len(dims) == 3:
        return
    for key, error in (("compression", 7), ("endian", 7), ("vtype", 8), ("ctype", 9)):
        word = _scan(b"#!" + key.encode() + b" %s", line)
        if word:
            code = _KEY_WORDS[key].get(word[0], 0)
            if code == 0:
                raise _Refusal(error)
            setattr(h, "nbands" if key == "ctype" else key, code)
            if key == "vtype":
                _set_up_spacing_arrays(h)
            return
    bands = _scan(b"#!nbands %d", line)
    if bands:
        if bands[0] < 1:
            raise _Refusal(10)
        h.nbands = bands[0]
        return
    for key, error in (("dtype", 11), ("units", 12)):
        word = _scan(b"#!" + key.encode() + b" %s", line)
        if word:
            code = _KEY_WORDS[key].get(word[0], 0)
            if code == 0:
                raise _Refusal(error)
            setattr(h, key, code)
            return
    if line.startswith(b"#!bgthreshold"):
        # The dtype read so far decides how the value is read.
        if h.dtype in _FLOAT_CODES:
            value = _scan(b"#!bgthreshold %f", line)
            if value:
                h.bg_float, h.has_bg = value[0], True
        else:
            value = _scan(b"#!bgthreshold %d", line)
            if value:
                h.bg_int, h.has_bg = value[0], True
        return
    if line.startswith(b"#!comment"):
        text = line[:-1]  # the line feed, or the last byte of a long line's piece
        text = text[9:] if len(text) > 9 else b""
        h.comments.append(text.lstrip(b" \t\n\v\f\r").decode("utf-8", "surrogateescape"))
        return
    for axis in range(3):
        value = _scan(b"#!p" + b"xyz"[axis:axis + 1] + b" %f", line)
        if value:
            _read_spacing(h, axis, value[0])
            return
    count = _scan(b"#!tfnum %d", line)
    if count:
        if not 0 <= count[0] <= _MAX_TRANSFER_FUNCTIONS:
            raise _Refusal(33)
        # The entry counters run on across tfnum lines, as in the C reader.
        h.tfnum, h.tfdata, h.tf_slots = count[0], [None] * (5 * count[0]), 5 * count[0]
        return
    entry = _scan(b"#!tfdata %c %[ \t.0-9_a-zA-Z-] ", line)
    if len(entry) == 2:
        if h.tfnum == 0:
            raise _Refusal(34)
        slot = h.tf_function * 5 + h.tf_component
        if slot >= h.tf_slots:
            raise _Refusal(31)
        h.tfdata[slot] = entry[1].decode("ascii")
        h.tf_component += 1
        if h.tf_component == 5:
            h.tf_component, h.tf_function = 0, h.tf_function + 1


def _below_threshold(value):
    return float(value) < 1e-20  # NaN is never below


def _check_list(values, first, entry_error, sum_error):
    if first >= len(values):
        return sum_error  # the sum of no entries is 0; any passing entry makes it pass
    return entry_error if (values[first:].astype(np.float64) < 1e-20).any() else 0


def _check_header(h):
    """The number of the first rule of the C validation that h breaks, or 0."""
    if h.endian == 0:
        return 15
    if h.nx <= 0 or h.ny <= 0 or h.nz <= 0:
        return 16
    for field, error in (("vtype", 17), ("units", 18), ("nbands", 19), ("dtype", 20)):
        if getattr(h, field) == 0:
            return error
    if h.vtype == _CUBIC:
        return 22 if _below_threshold(h.px) else 0
    if h.vtype == _REGULAR:
        for value, error in ((h.pz, 24), (h.py, 23), (h.px, 22)):
            if _below_threshold(value):
                return error
        return 0
    if h.vtype == _RECTZ:
        for value, error in ((h.px, 22), (h.py, 23)):
            if _below_threshold(value):
                return error
        return _check_list(h.rz, 0, 30, 27)
    # The per-slice list of this grid is checked from its second entry.
    return (_check_list(h.rx, 0, 28, 25) or _check_list(h.ry, 0, 29, 26)
            or _check_list(h.rz, 1, 30, 27))


def _read_prologue(f):
    """Reads everything up to the first slice block as the C library does.
    Returns the header record and the icon's (width, height)."""
    def line():
        return f.readline(_LINE_LIMIT).split(b"\0", 1)[0]  # C strings end at a NUL

    first = line()
    kind = _scan(b"P%d", first)
    if not first or not kind:
        raise _Refusal(2)
    if kind[0] not in (5, 6):
        raise _Refusal(3)
    bytes_per_pixel = 3 if kind[0] == 6 else 1
    size = _scan(b"%d %d", line())
    if len(size) != 2:
        raise _Refusal(5)
    h = _Record()
    version = _scan(b"#!vrd %d.%d", line())
    if len(version) != 2:
        raise _Refusal(5)
    if version[0] > 6:
        raise _Refusal(35)
    h.version = tuple(version)
    while True:
        text = f.readline(_LINE_LIMIT)
        if not text:
            raise _Refusal(6)
        text = text.split(b"\0", 1)[0]
        _apply_key(h, text)
        if text.startswith(b"#!las"):  # the C reader compares one byte less than "#!last"
            break
    f.readline(_LINE_LIMIT)  # the PNM maximum value; neither presence nor text matters
    if h.sizes != [h.nx if h.vtype == _RECTXYZ else 0, h.ny if h.vtype == _RECTXYZ else 0,
                   h.nz if h.vtype in (_RECTZ, _RECTXYZ) else 0]:
        # The arrays were sized for other dimensions than the header ends with.
        raise _Refusal(15 if h.endian == 0 else 16)
    broken = _check_header(h)
    if broken:
        raise _Refusal(broken)
    width, height = size
    if width < 0 or height < 0:
        raise _Refusal(4)
    left = bytes_per_pixel * width * height
    while left > 0:
        got = len(f.read(min(left, _CHUNK)))
        if got == 0:
            raise _Refusal(4)
        left -= got
    return h, (width, height)


def _header_dict(h, icon):
    def word(table, code):
        return next(w for w, c in table.items() if c == code)

    def floats(values):
        return None if values is None else [float(v) for v in values]

    px, py, pz = float(h.px), float(h.py), float(h.pz)
    spacing = {_CUBIC: (px, px, px), _REGULAR: (px, py, pz), _RECTZ: (px, py, None),
               _RECTXYZ: (None, None, None)}[h.vtype]
    if not h.has_bg:
        threshold = None
    elif h.dtype in _FLOAT_CODES:
        threshold = float(h.bg_float)
    else:
        threshold = h.bg_int
    return {
        "version": h.version, "compression": word(_COMPRESSION, h.compression),
        "endian": word(_ENDIAN, h.endian), "nx": h.nx, "ny": h.ny, "nz": h.nz,
        "vtype": word(_VTYPE, h.vtype), "spacing": spacing,
        "rx": floats(h.rx), "ry": floats(h.ry), "rz": floats(h.rz),
        "units": word(_UNITS, h.units), "nbands": h.nbands, "dtype": _DTYPES[h.dtype - 1],
        "bg_threshold": threshold, "comments": list(h.comments),
        "transfer_functions": [tuple(h.tfdata[5 * i:5 * i + 5]) for i in range(h.tfnum)],
        "icon": icon,
    }


# --- slices ------------------------------------------------------------------

def _read_exactly(f, view):
    """Fills the memoryview from f; returns how many bytes arrived."""
    done = 0
    while done < len(view):
        got = f.readinto(view[done:])
        if not got:
            break
        done += got
    return done


def _skip(f, count):
    """Reads and drops count bytes; returns how many arrived."""
    done = 0
    while done < count:
        got = len(f.read(min(count - done, _CHUNK)))
        if got == 0:
            break
        done += got
    return done


def _read_block(f, dest, compressed):
    """Reads one block into dest (a uint8 array of the slice's size).
    Returns None, or why the block is damaged."""
    head = f.read(4)
    if len(head) < 4:
        return "the file ends before the block's length"
    length = int.from_bytes(head, "big")
    if not compressed:
        if length != len(dest):
            return f"block of {length} bytes for a slice of {len(dest)} bytes"
        got = _read_exactly(f, memoryview(dest))
        return None if got == length else f"the file ends after {got} of the block's {length} bytes"
    inflater, filled, arrived = zlib.decompressobj(), 0, 0
    while arrived < length and not inflater.eof:
        chunk = f.read(min(length - arrived, _CHUNK))
        if not chunk:
            break
        arrived += len(chunk)
        while chunk and not inflater.eof:
            try:
                out = inflater.decompress(chunk, len(dest) - filled + 1)
            except zlib.error as e:
                return f"the zlib stream cannot be inflated ({e})"
            if filled + len(out) > len(dest):
                return f"the zlib stream inflates to more than the slice's {len(dest)} bytes"
            dest[filled:filled + len(out)] = np.frombuffer(out, np.uint8)
            filled += len(out)
            chunk = inflater.unconsumed_tail
    # As in the C reader, bytes after the stream's end belong to the block.
    arrived += _skip(f, length - arrived)
    if arrived < length:
        return f"the file ends after {arrived} of the block's {length} bytes"
    if not inflater.eof:
        return "the zlib stream is cut short"
    if filled != len(dest):
        return f"the zlib stream inflates to {filled} bytes for a slice of {len(dest)} bytes"
    return None


def read(path):
    """Reads a single-band vrd file: returns (header, volume); see the module."""
    with open(path, "rb") as f:
        try:
            h, icon = _read_prologue(f)
        except _Refusal as refusal:
            raise ValueError(f"{path}: {_MESSAGES[refusal.args[0]]}") from None
        if h.nbands != 1:
            raise ValueError(f"{path}: {h.nbands} bands per voxel; only single-band volumes can be read")
        file_type = np.dtype(_NUMPY_TYPES[h.dtype - 1]).newbyteorder(">" if h.endian == 1 else "<")
        slice_bytes = h.nx * h.ny * file_type.itemsize
        if slice_bytes > _BLOCK_LIMIT:
            raise ValueError(f"{path}: slices of {h.nx} x {h.ny} values are too large for a block")
        try:
            volume = np.empty((h.nz, h.ny, h.nx), file_type)
        except (MemoryError, ValueError):
            raise ValueError(f"{path}: a volume of {h.nx} x {h.ny} x {h.nz} values "
                             f"of {file_type.itemsize} bytes cannot be held") from None
        data = volume.reshape(-1).view(np.uint8)
        for z in range(h.nz):
            damage = _read_block(f, data[z * slice_bytes:(z + 1) * slice_bytes], h.compression == 1)
            if damage is not None:
                raise ValueError(f"{path}: slice {z}: {damage}")
    if not file_type.isnative:
        volume = volume.byteswap(inplace=True).view(file_type.newbyteorder("="))
    return _header_dict(h, icon), volume


# --- writing -----------------------------------------------------------------

def preview(slice2d):
    """The icon image of a slice: its finite values from min to max mapped
    onto 0..255 (NaN and values at or below the minimum 0, values at or above
    the maximum 255), all 0 when no two finite values differ. Row y of the
    image is row y of the slice."""
    v = np.asarray(slice2d)
    if v.ndim != 2:
        raise ValueError(f"a slice has 2 dimensions, not {v.ndim}")
    v = v.astype(np.float64)
    icon = np.zeros(v.shape, np.uint8)
    finite = v[np.isfinite(v)]
    if finite.size == 0:
        return icon
    lo, hi = finite.min(), finite.max()
    if not hi > lo:
        return icon
    icon[v >= hi] = 255
    inside = (v > lo) & (v < hi)  # NaN is in neither
    x = v[inside]
    with np.errstate(over="ignore"):
        overflows = not np.isfinite(hi - lo)
    if overflows:
        # A float64 range this wide overflows the formula; scaling every
        # operand by 1/256 gives what it gives with an unbounded exponent.
        x, lo, hi = x / 256.0, lo / 256.0, hi / 256.0
    icon[inside] = np.floor((x - lo) / (hi - lo) * 255.0 + 0.5)
    return icon


def _spacing_text(value):
    px = np.float32(value)
    text = b"%f" % float(px)
    if not np.isfinite(px) or float(text) <= 0:
        raise ValueError(f"spacing {value!r}: must be finite and at least 0.0000005 "
                         "(spacings are written with six decimals)")
    return text


def _header_bytes(dims, dtype, spacing, units, compression, endian, comments):
    nz, ny, nx = dims
    if np.ndim(spacing) == 0:
        spacing_lines = [b"#!px\t\t" + _spacing_text(spacing)]
        vtype = b"vrdCubic"
    elif np.shape(spacing) == (3,):
        spacing_lines = [b"#!p" + axis + b"\t" + _spacing_text(s) for axis, s in zip((b"x", b"y", b"z"), spacing)]
        vtype = b"vrdRegular"
    else:
        raise ValueError(f"spacing {spacing!r}: one number or three (px, py, pz)")
    for name, value, table in (("units", units, _UNITS), ("compression", compression, _COMPRESSION),
                               ("endian", endian, _ENDIAN)):
        if value not in table:
            raise ValueError(f"{name} {value!r}: one of {', '.join(map(repr, table))}")
    if isinstance(comments, (str, bytes)):
        comments = (comments,)
    comment_lines = []
    for comment in comments:
        text = comment if isinstance(comment, bytes) else str(comment).encode("utf-8", "surrogateescape")
        if b"\n" in text or b"\0" in text:
            raise ValueError(f"comment {comment!r}: a comment holds no line feed or NUL")
        comment_lines.append(b"#!comment \t" + (text[:1998] if len(text) > 1999 else text))
    lines = [b"P5", b"%d %d" % (nx, ny), b"#!vrd   \t6.0"]
    lines += [b"#" + banner for banner in _BANNER]
    lines += [b"#!endian \t" + (b"vrdLittleEndian" if endian == "little" else b"vrdBigEndian"),
              b"#!compression \t" + compression.encode(),
              b"#!vdim  \t%d %d %d" % (nx, ny, nz),
              b"#!vtype \t" + vtype]
    lines += spacing_lines
    lines += [b"#!nbands \t1", b"#!dtype \t" + dtype.encode(),
              b"#!units \t" + {"um": b"vrdUum", "mm": b"vrdUmm", "m": b"vrdUm"}[units]]
    lines += comment_lines
    lines += [b"#!last", b"255"]
    return b"\n".join(lines) + b"\n"


def write(path, array, spacing=1.0, units="mm", compression="zlib", endian="little", comments=()):
    """Writes a 3-D array (nz, ny, nx) as a single-band vrd file; see the module."""
    a = np.asarray(array)
    code = _WRITTEN_TYPE.get(a.dtype.newbyteorder("="))
    if code is None:
        raise TypeError(f"arrays of {a.dtype} cannot be written; the vrd types are "
                        "uint8, int8, uint16, int16, uint32, int32, float32 and float64")
    if a.ndim != 3:
        raise ValueError(f"a volume has 3 dimensions (nz, ny, nx), not {a.ndim}")
    if not all(1 <= n < 1 << 31 for n in a.shape):
        raise ValueError(f"volume of shape {a.shape}: every dimension must be 1 to 2147483647")
    nz, ny, nx = a.shape
    if nx * ny * a.dtype.itemsize > _BLOCK_LIMIT:
        raise ValueError(f"slices of {nx} x {ny} values are too large for a block")
    header = _header_bytes(a.shape, _DTYPES[code - 1], spacing, units, compression, endian, comments)
    file_type = a.dtype.newbyteorder("<" if endian == "little" else ">")
    try:
        with open(path, "wb") as f:
            f.write(header)
            f.write(preview(a[nz // 2]).tobytes())
            for z in range(nz):
                data = np.ascontiguousarray(a[z], dtype=file_type).view(np.uint8).reshape(-1)
                payload = zlib.compress(data) if compression == "zlib" else data
                if len(payload) > _BLOCK_LIMIT:
                    raise ValueError(f"{path}: slice {z}: its zlib stream is too long for a block")
                f.write(len(payload).to_bytes(4, "big"))
                f.write(payload)
    except OSError as e:
        raise OSError(e.errno, f"cannot write the volume: {e.strerror or e}", str(path)) from e
