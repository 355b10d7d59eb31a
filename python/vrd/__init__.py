"""Volume files of the vrd format, on the C library.

    import vrd
    header, volume = vrd.read("ct.vrd")            # the whole volume, volume[z, y, x]
    with vrd.open("ct.vrd") as vol:                # lazily: only the blocks asked for are read
        middle = vol[vol.shape[0] // 2]            # one slice, (ny, nx)
        part = vol[100:140, 64:192, 64:192]        # slices 100..139, cropped
    vrd.write("copy.vrd", volume, spacing=(0.5, 0.5, 2.0), units="mm")
    mapped = vrd.window(volume, 0, 40, 80, 700)    # volmap's window, float32
    marks = vrd.compare(volume, mapped)            # volcmp's rule, float32

Every format rule is the library's: header reading, validation and its
messages, block decoding and encoding, the header writer, the preview icon,
and the output written beside its path and renamed into place. Whole and
range reads run on the library's slice engine on all cores with the GIL
released, decoding straight into the returned array; calls from several
threads at once give what one thread gives.

Volumes are numpy arrays of shape (nz, ny, nx) in the file's data type, in
this machine's byte order:

    vrdUChar uint8, vrdChar int8, vrdUInt12 and vrdUInt16 uint16,
    vrdInt16 and vrdIntHU int16, vrdUInt32 uint32, vrdInt32 int32,
    vrdFloat float32, vrdDouble float64.

A header is a dict:

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

Faults are exceptions, and nothing else happens to the process (no message
on standard error, no exit): a file that cannot be opened raises OSError; a
header the library refuses raises ValueError with its message ("<path>:
vrd format error - dtype missing"); so does a damaged or missing block,
naming the file and the slice ("<path>: slice 7: ReadSliceDataZ:
Uncompression Error (-3)"); a failed write raises OSError and leaves any
old file at the path whole; an array of a type the format has no place for
raises TypeError, one of a wrong shape ValueError. A file that announces
more than it holds costs what it holds: it fails at its first missing block
before anything is allocated for its slices.

vrd.to_dask and vrd.store (the Dask layer) are imported on first use.
"""

import operator
import os
import re
import stat

import numpy as np

from . import _vrd

__all__ = ["read", "write", "open", "Volume", "Writer", "read_blocks", "encode_blocks", "window", "compare",
           "preview", "to_dask", "store"]

_UNITS = {"um": 1, "mm": 2, "m": 3}
_VTYPES = {"cubic": 1, "regular": 2, "rectz": 3, "rectxyz": 4}
_COMPRESSION = {"zlib": 1, "none": 2}
_ENDIAN = {"big": 1, "little": 2}
# What the header reader takes as a transfer-function entry.
_TF_ENTRY = re.compile(r"[ \t.0-9_a-zA-Z-]+\Z")


def __getattr__(name):
    if name in ("to_dask", "store"):
        from . import _dask
        return getattr(_dask, name)
    raise AttributeError(f"module 'vrd' has no attribute {name!r}")


# --- reading -----------------------------------------------------------------

class Volume:
    """A volume file opened for lazy reading (see vrd.open).

    Attributes: header (the dict), shape (nz, ny, nx), dtype, ndim, size,
    nbytes, len(), path, block_offsets. Indexing reads only the blocks it
    needs: vol[z] (ny, nx), vol[z0:z1], vol[::step], vol[[3, 9]],
    vol[z, y0:y1, x0:x1], vol[..., y, x]; np.asarray(vol) reads it all.
    A context manager; close() releases the file.
    """

    ndim = 3

    def __init__(self, path):
        self.path = os.fspath(path)
        self._v = _vrd.Volume(self.path)
        self.shape = tuple(self._v.shape)
        self.dtype = self._v.dtype

    @property
    def header(self):
        """The header dict (a new copy at every call)."""
        return self._v.header

    @property
    def block_offsets(self):
        """numpy int64 array of nz entries: the file offset of each slice's
        block (its length field), -1 for slices the file does not hold."""
        return self._v.block_offsets

    @property
    def size(self):
        return self.shape[0] * self.shape[1] * self.shape[2]

    @property
    def nbytes(self):
        return self.size * self.dtype.itemsize

    @property
    def closed(self):
        return self._v.closed

    def __len__(self):
        return self.shape[0]

    def __repr__(self):
        state = "closed " if self.closed else ""
        return f"<{state}vrd.Volume {self.path!r} shape={self.shape} dtype={self.dtype}>"

    def close(self):
        """Releases the file; reading afterwards raises ValueError."""
        self._v.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __array__(self, dtype=None):
        volume = self.read()
        return volume if dtype is None else volume.astype(dtype, copy=False)

    def read(self, z0=0, z1=None, step=1):
        """Slices z0, z0 + step, ... before z1 (default all) as one array."""
        return self._read(range(*slice(z0, z1, step).indices(self.shape[0])))

    def _read(self, zs):
        zs = list(zs)
        if not zs:
            return np.empty((0,) + self.shape[1:], self.dtype)
        return self._v.read(zs)

    def __getitem__(self, key):
        key = key if isinstance(key, tuple) else (key,)
        if any(k is Ellipsis for k in key):
            at = next(i for i, k in enumerate(key) if k is Ellipsis)
            key = key[:at] + (slice(None),) * (3 - len(key) + 1) + key[at + 1:]
        if len(key) > 3:
            raise IndexError(f"too many indices for a volume: {len(key)} given, 3 dimensions")
        z, rest = (key[0] if key else slice(None)), key[1:]
        nz = self.shape[0]
        if isinstance(z, slice):
            data = self._read(range(*z.indices(nz)))
            return data[(slice(None),) + rest] if rest else data
        if isinstance(z, (bool, np.bool_)):
            raise IndexError("a slice number is an integer, not a bool")
        try:
            index = operator.index(z)
        except TypeError:
            index = None
        if index is not None:
            if not -nz <= index < nz:
                raise IndexError(f"slice {index} is out of range for a volume of {nz} slices")
            data = self._read([index % nz])[0]
            return data[rest] if rest else data
        zs = np.asarray(z)
        if zs.dtype == bool:
            if zs.shape != (nz,):
                raise IndexError(f"a boolean index of the slices has {nz} entries")
            zs = np.nonzero(zs)[0]
        if zs.ndim != 1 or (zs.size and zs.dtype.kind not in "iu"):
            raise IndexError("slices are chosen by an integer, a slice, or a 1-D list of integers or bools")
        if zs.size and (zs.min() < -nz or zs.max() >= nz):
            raise IndexError(f"slice numbers out of range for a volume of {nz} slices")
        data = self._read(int(i) % nz for i in zs)
        return data[(slice(None),) + rest] if rest else data


def open(path):
    """Opens a volume file for lazy reading: its header is read and checked,
    and the place of every slice's block is found from the blocks' length
    fields (once, without reading the slices); vol[z] then reads one block.
    Raises as described in the module."""
    return Volume(path)


def read(path):
    """Reads a whole single-band volume: returns (header, volume). A file that
    is no regular file (a pipe, a FIFO) is read block after block."""
    try:
        regular = stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        regular = True  # opening it says why
    if not regular:
        return _vrd.read_stream(os.fspath(path))
    with Volume(path) as v:
        return v.header, v.read()


def read_blocks(path, z0, offsets, out=None):
    """Slices z0, z0 + 1, ... of the file from the blocks at offsets (entries
    of Volume.block_offsets), as an array (len(offsets), ny, nx) in the file's
    type, this machine's byte order; into out when given (C-contiguous, of that
    shape and type). Opens the file and reads its header itself and nothing
    else of it; decodes on this thread, with the GIL released. An offset of -1
    or a damaged block raises ValueError naming the file and the slice."""
    return _vrd.read_blocks(os.fspath(path), int(z0), [int(o) for o in offsets], out)


# --- writing -----------------------------------------------------------------

def _spacing(value, what="spacing"):
    with np.errstate(over="ignore"):
        px = np.float32(value)
    text = "%f" % float(px)
    # Spacings are written with six decimals; one that prints as 0 or is not
    # finite would make a file the reader refuses.
    if not np.isfinite(px) or float(text) <= 0:
        raise ValueError(f"{what} {value!r}: must be finite and at least 0.0000005 "
                         "(spacings are written with six decimals)")
    return float(px)


def _word(name, value, table):
    if value not in table:
        raise ValueError(f"{name} {value!r}: one of {', '.join(map(repr, table))}")
    return table[value]


def _text(value, what):
    data = value if isinstance(value, bytes) else str(value).encode("utf-8", "surrogateescape")
    if b"\n" in data or b"\0" in data:
        raise ValueError(f"{what} {value!r}: holds no line feed or NUL")
    return data


def _deflate_setting(deflate):
    """The deflate setting as text: the one given, else VRD_DEFLATE, else zlib's default."""
    return str(deflate) if deflate is not None else os.environ.get("VRD_DEFLATE", "zlib")


def _header_fields(shape, spacing, units, compression, endian, comments, header):
    """The header of a new volume as the extension takes it."""
    nz, ny, nx = shape
    header = dict(header or {})
    fields = {"px": 0.0, "py": 0.0, "pz": 0.0, "rx": None, "ry": None, "rz": None,
            "bg_threshold": header.get("bg_threshold"), "transfer_functions": []}
    if spacing is None and header.get("vtype") in ("rectz", "rectxyz"):
        vtype = header["vtype"]
        fields["vtype"] = _VTYPES[vtype]
        if vtype == "rectz":
            fields["px"], fields["py"] = (_spacing(s) for s in header["spacing"][:2])
        else:
            fields["rx"] = [_spacing(s, "rx entry") for s in header["rx"]]
            fields["ry"] = [_spacing(s, "ry entry") for s in header["ry"]]
        fields["rz"] = [_spacing(s, "rz entry") for s in header["rz"]]
        if len(fields["rz"]) != nz:
            raise ValueError(f"the header's grid has {len(fields['rz'])} slices, the volume {nz}")
    else:
        if spacing is None:
            given = header.get("spacing")
            spacing = 1.0 if given is None else (given[0] if header.get("vtype") == "cubic" else given)
        if np.ndim(spacing) == 0:
            fields["vtype"] = _VTYPES["cubic"]
            fields["px"] = fields["py"] = fields["pz"] = _spacing(spacing)
        elif np.shape(spacing) == (3,):
            fields["vtype"] = _VTYPES["regular"]
            fields["px"], fields["py"], fields["pz"] = (_spacing(s) for s in spacing)
        else:
            raise ValueError(f"spacing {spacing!r}: one number or three (px, py, pz)")
    fields["units"] = _word("units", header.get("units", "mm") if units is None else units, _UNITS)
    fields["compression"] = _word("compression", header.get("compression", "zlib") if compression is None
                                else compression, _COMPRESSION)
    fields["endian"] = _word("endian", "little" if endian is None else endian, _ENDIAN)
    comments = header.get("comments", ()) if comments is None else comments
    if isinstance(comments, (str, bytes)):
        comments = (comments,)
    fields["comments"] = [_text(c, "comment") for c in comments]
    for function in header.get("transfer_functions", ()):
        entries = tuple(function)
        if len(entries) != 5 or any(e is not None and not _TF_ENTRY.match(str(e)) for e in entries):
            raise ValueError(f"transfer function {function!r}: five entries (d, r, g, b, a) of digits, "
                             "letters, '.', '_', '-' and blanks, or None")
        fields["transfer_functions"].append(tuple(None if e is None else str(e) for e in entries))
    return fields


class Writer:
    """Writes a volume file slice range by slice range.

        with vrd.Writer("out.vrd", (nz, ny, nx), np.float32, spacing=0.5) as w:
            for z0 in range(0, nz, 32):
                w.write_slices(part)              # slices in order, any count at a time
            w.set_preview(middle_slice)           # the icon: slice nz // 2, any time before close

    The keywords are those of vrd.write. The file is written beside the path
    and renamed onto it by close(), which checks that all nz slices were
    written and writes the preview; abort(), or an exception inside the
    with-block, removes what was written and leaves any old file whole.
    write_blocks appends finished blocks (from encode_blocks) in slice order.
    One writer serves one thread at a time; several writers may write at once.
    encoding is the dict of encode_blocks keywords (compression, endian,
    deflate) that give the blocks this writer's header announces.
    """

    def __init__(self, path, shape, dtype, spacing=None, units=None, compression=None, endian=None,
                 comments=None, *, header=None, deflate=None):
        shape = tuple(operator.index(n) for n in shape)
        if len(shape) != 3:
            raise ValueError(f"a volume has 3 dimensions (nz, ny, nx), not {len(shape)}")
        self.path = os.fspath(path)
        self.shape = shape
        self.dtype = np.dtype(dtype)
        fields = _header_fields(shape, spacing, units, compression, endian, comments, header)
        deflate = _deflate_setting(deflate)
        self._w = _vrd.Writer(self.path, shape[0], shape[1], shape[2], self.dtype, fields, deflate)
        names = {code: name for name, code in _COMPRESSION.items()}, {code: name for name, code in _ENDIAN.items()}
        #: The keywords of encode_blocks that give the blocks this file's header announces.
        self.encoding = {"compression": names[0][fields["compression"]], "endian": names[1][fields["endian"]],
                         "deflate": deflate}

    @property
    def closed(self):
        return self._w.closed

    @property
    def written(self):
        """Slices written so far."""
        return self._w.written

    def write_slices(self, array):
        """Encodes the slices of a 3-D array (count, ny, nx) on the library's
        engine (all cores, GIL released) and appends them."""
        self._w.write_slices(np.asarray(array))

    def write_blocks(self, blocks):
        """Appends finished blocks (bytes from encode_blocks), in slice order."""
        self._w.write_blocks(list(blocks))

    def set_preview(self, slice2d):
        """The values of the middle slice (nz // 2), for the icon."""
        self._w.set_preview(np.asarray(slice2d))

    def close(self):
        """Finishes the file and renames it into place (once)."""
        if not self._w.closed:
            self._w.close()

    def abort(self):
        """Removes what was written; any old file at the path stays whole."""
        self._w.abort()

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        if kind is None:
            self.close()
        else:
            self.abort()


def write(path, array, spacing=None, units=None, compression=None, endian=None, comments=None, *,
          header=None, deflate=None):
    """Writes a 3-D array (nz, ny, nx) as a single-band volume file.

    The array's type is the file's (uint8 vrdUChar, int8 vrdChar, uint16
    vrdUInt16, int16 vrdInt16, uint32, int32, float32, float64; any other
    raises TypeError). spacing is one number (a cubic grid, default 1.0) or
    (px, py, pz) (a regular one); units 'um', 'mm' (default) or 'm';
    compression 'zlib' (default) or 'none'; endian 'little' (default) or 'big';
    comments a list of str. header, a header dict (vol.header), gives every
    one of these that is not passed, and its rectilinear grid, threshold and
    transfer functions. deflate takes the VRD_DEFLATE settings ('zlib',
    'zlib:1', 'libdeflate', ...; default VRD_DEFLATE, else 'zlib'). The header
    lines, zlib blocks and preview icon (the middle slice) are the programs';
    the file is written beside the path and renamed onto it, so a failed
    write leaves any old file whole. Memory beyond the array: a few slices.
    """
    a = np.asarray(array)
    if _vrd_type(a.dtype) is None:
        raise TypeError(f"arrays of {a.dtype} cannot be written; the vrd types are "
                        "uint8, int8, uint16, int16, uint32, int32, float32 and float64")
    if a.ndim != 3:
        raise ValueError(f"a volume has 3 dimensions (nz, ny, nx), not {a.ndim}")
    with Writer(path, a.shape, a.dtype, spacing, units, compression, endian, comments,
                header=header, deflate=deflate) as w:
        w.write_slices(a)
        w.set_preview(a[a.shape[0] // 2])


def _vrd_type(dtype):
    return {("u", 1), ("i", 1), ("u", 2), ("i", 2), ("u", 4), ("i", 4), ("f", 4), ("f", 8)} \
        .intersection({(dtype.kind, dtype.itemsize)}) or None


def encode_blocks(array, compression="zlib", deflate=None, endian="little"):
    """The finished blocks (bytes: length field and payload) of each slice of
    a 3-D array, exactly what vrd.write and Writer.write_slices write for them
    with these settings; on this thread, with the GIL released."""
    return _vrd.encode_blocks(np.asarray(array), compression, _deflate_setting(deflate), endian)


# --- the programs' per-voxel functions ----------------------------------------

def window(array, min, mid1, mid2, max):  # noqa: A002 - volmap's own names
    """volmap's trapezoidal window of every value, as float32 (the same C++
    code): 0 at or below min and at or above max, rising from min to mid1, 1
    up to mid2, falling to max. The four numbers are taken as float32."""
    return _vrd.window(np.asarray(array), float(min), float(mid1), float(mid2), float(max))


def compare(a, b):
    """volcmp's rule on two arrays of one shape, as float32 (the same C++
    code): 100 times the larger of two unequal values when it exceeds 0.7,
    else 0."""
    return _vrd.compare(np.asarray(a), np.asarray(b))


def preview(slice2d):
    """The icon image (uint8) the library makes of a slice: its finite values
    from min to max onto 0..255, all 0 when no two finite values differ."""
    return _vrd.preview(np.asarray(slice2d))
