"""vrd volumes as Dask arrays, and Dask arrays stored as vrd files.

    import dask.array as da, vrd
    from distributed import Client
    client = Client("tcp://scheduler:8786")     # or none: Dask's default scheduler
    ct = vrd.to_dask("/shared/ct.vrd")           # (nz, ny, nx), chunked along z
    windowed = ct.map_blocks(vrd.window, 0, 40, 80, 700, dtype="float32")
    vrd.store(windowed, "/shared/ct-window.vrd", spacing=ct_spacing)

to_dask(path, slices_per_chunk=None) gives a dask.array.Array of the file's
shape and type (the type `vrd.open` gives), one chunk per run of whole
slices (by default as many as fit in about 64 MiB). Its graph holds the
file's path and each chunk's block offsets, never voxel data: each task
opens the file itself and reads only its own blocks, so the array computes
on any worker that sees the path (a shared filesystem). A damaged or
missing block raises on the worker, naming the file and the slice.

store(array, path, chunks_in_flight=None, **kwargs) writes a 3-D array
with the header and deflate keywords of `vrd.write` (spacing, units,
compression, endian, comments, deflate, ...). A numpy array goes to
`vrd.write`. For a Dask array, each chunk is computed and deflated into
finished slice blocks where it runs (a worker of the current
distributed.Client, or Dask's default scheduler when there is none); the
calling process writes the header, then the blocks in slice order as they
arrive, then the preview icon, into a file beside `path` that is renamed
onto it at the end. The bytes are those `vrd.write` writes for the same
values and keywords. At most `chunks_in_flight` chunks are being computed
or waiting to be written (by default two per worker thread of the cluster,
or one per core on the default scheduler), so the calling process's memory
does not grow with nz: it holds at most that many chunks' blocks and one
slice for the icon.

If anything fails (a damaged input block, a chunk of another type or shape
than the array declares, a task that failed on every worker it was tried
on), the store raises that error, cancels what is still running and removes
the file beside `path`; an older file at `path` stays as it was. A worker
lost while a store runs is only a delay when Dask can rerun its tasks on
another.
"""

import operator
import os
import uuid

import dask.array as da
import numpy as np
from dask.base import get_scheduler, tokenize
from dask.highlevelgraph import HighLevelGraph
from dask.optimization import cull

from . import Writer, encode_blocks, read_blocks, write
from . import open as open_volume

__all__ = ["to_dask", "store"]

# Chunks of about this many bytes of voxels: large enough that a task's
# overhead (scheduling, opening the file, reading its header) is small
# beside its decoding, small enough for several per worker.
CHUNK_BYTES = 64 << 20


def _read_chunk(path, z0, offsets):
    return read_blocks(path, z0, offsets)


def to_dask(path, slices_per_chunk=None):
    """The volume at path as a Dask array chunked along z; see the module."""
    path = os.path.abspath(os.fspath(path))  # workers need not share our working directory
    with open_volume(path) as vol:
        shape, dtype = tuple(vol.shape), np.dtype(vol.dtype)
        offsets = np.array(vol.block_offsets, dtype=np.int64)
    nz, ny, nx = shape
    if slices_per_chunk is None:
        slices_per_chunk = max(1, CHUNK_BYTES // max(1, ny * nx * dtype.itemsize))
    else:
        slices_per_chunk = operator.index(slices_per_chunk)
        if slices_per_chunk < 1:
            raise ValueError(f"slices_per_chunk {slices_per_chunk}: must be at least 1")
    starts = range(0, nz, slices_per_chunk)
    zchunks = tuple(min(slices_per_chunk, nz - z0) for z0 in starts)
    # The name changes when the file does, so a rewritten file is never
    # taken for results a cluster still holds of the old one.
    st = os.stat(path)
    name = "vrd-read-" + tokenize(path, st.st_size, st.st_mtime_ns, st.st_ino, slices_per_chunk)
    layer = {(name, i, 0, 0): (_read_chunk, path, z0, offsets[z0:z0 + n].copy())
             for i, (z0, n) in enumerate(zip(starts, zchunks))}
    graph = HighLevelGraph.from_collections(name, layer, dependencies=())
    return da.Array(graph, name, (zchunks, (ny,), (nx,)), dtype=dtype)


def _encode_chunk(chunk, z0, shape, dtype, middle, encode_kwargs):
    """A chunk's finished blocks, and its slice `middle` (None: no slice)."""
    chunk = np.asarray(chunk)
    if chunk.shape != shape or chunk.dtype != dtype:
        # Blocks of other values than the header announces would make a
        # file that reads as garbage; map_blocks takes the dtype on trust.
        raise TypeError(f"slices {z0} to {z0 + shape[0] - 1}: the array declares {dtype} chunks of shape "
                        f"{shape}, this chunk is {chunk.dtype} of shape {chunk.shape}")
    blocks = encode_blocks(np.ascontiguousarray(chunk), **encode_kwargs)
    return blocks, None if middle is None else chunk[middle].copy()


def _client_of(scheduler):
    """The distributed.Client whose scheduler `scheduler` is, or None."""
    try:
        from distributed import Client
    except ImportError:
        return None
    client = getattr(scheduler, "__self__", None)
    return client if isinstance(client, Client) else None


def store(array, path, chunks_in_flight=None, **kwargs):
    """Writes a numpy or Dask array as a vrd file at path; see the module."""
    if not isinstance(array, da.Array):
        write(path, array, **kwargs)
        return
    if array.ndim != 3:
        raise ValueError(f"a volume has 3 dimensions (nz, ny, nx), not {array.ndim}")
    if any(np.isnan(n) for c in array.chunks for n in c):
        raise ValueError("the array's chunk sizes are unknown; call its compute_chunk_sizes() first")
    if chunks_in_flight is not None:
        chunks_in_flight = operator.index(chunks_in_flight)
        if chunks_in_flight < 1:
            raise ValueError(f"chunks_in_flight {chunks_in_flight}: must be at least 1")
    nz, ny, nx = array.shape
    if len(array.chunks[1]) > 1 or len(array.chunks[2]) > 1:
        array = array.rechunk({1: -1, 2: -1})  # a block holds a whole slice

    # The header is written, and every keyword checked, before any chunk is
    # computed. The workers encode with the writer's settings, settled here
    # (a header's compression, our VRD_DEFLATE: a worker's may differ).
    writer = Writer(path, (nz, ny, nx), array.dtype, **kwargs)
    try:
        _store_chunks(array, writer, dict(writer.encoding), chunks_in_flight)
    except BaseException:
        writer.abort()
        raise
    writer.close()


def _store_chunks(array, writer, encode_kwargs, chunks_in_flight):
    nz, ny, nx = array.shape
    # The array's tasks after Dask's own optimisations, once; each chunk is
    # then sent with just the tasks it depends on.
    keys = [row[0][0] for row in array.__dask_keys__()]  # one (name, i, 0, 0) per run of slices
    graph = dict(array.__dask_optimize__(array.__dask_graph__(), keys))
    # Keys of this store alone: cancelling them on a failure touches no other store.
    name = "vrd-store-" + tokenize(array.name, encode_kwargs, uuid.uuid4())
    middle_z = nz // 2
    jobs, z0 = [], 0
    for i, (key, n) in enumerate(zip(keys, array.chunks[0])):
        middle = middle_z - z0 if z0 <= middle_z < z0 + n else None
        task = (_encode_chunk, key, z0, (n, ny, nx), array.dtype, middle, encode_kwargs)
        jobs.append(((name, i), task, key))
        z0 += n

    def subgraph(job_list):
        """The tasks that the given jobs need."""
        tasks = {}
        for job_key, task, key in job_list:
            tasks.update(cull(graph, [key])[0])
            tasks[job_key] = task
        return tasks

    scheduler = get_scheduler(collections=[array])
    client = _client_of(scheduler)
    if client is not None:
        _store_on_cluster(client, jobs, subgraph, writer, chunks_in_flight)
    else:
        _store_in_batches(scheduler, jobs, subgraph, writer, chunks_in_flight)


def _write_chunk(writer, result):
    blocks, middle = result
    writer.write_blocks(blocks)
    if middle is not None:
        writer.set_preview(middle)


def _store_on_cluster(client, jobs, subgraph, writer, window):
    """Keeps `window` chunks submitted and writes each as the oldest ends."""
    if window is None:
        window = max(2, 2 * sum(client.nthreads().values()))
    pending, next_job = [], 0
    try:
        while next_job < len(jobs) or pending:
            while next_job < len(jobs) and len(pending) < window:
                job = jobs[next_job]
                pending.append(client.get(subgraph([job]), job[0], sync=False))
                next_job += 1
            result = pending.pop(0).result()
            _write_chunk(writer, result)
            del result  # the blocks, before the next chunk's arrive
    finally:
        if pending:
            client.cancel(pending)


def _store_in_batches(get, jobs, subgraph, writer, batch):
    """Computes `batch` chunks at a time on a local scheduler."""
    if batch is None:
        batch = max(2, os.cpu_count() or 1)
    for start in range(0, len(jobs), batch):
        part = jobs[start:start + batch]
        results = get(subgraph(part), [job[0] for job in part])
        for result in results:
            _write_chunk(writer, result)
        del results
