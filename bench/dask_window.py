"""The measurements of bench/dask.sh: python3 dask_window.py BINDIR DIR.
Each Dask run is a fresh process (`--run`), so that its peak memory is its own."""

import hashlib
import json
import os
import subprocess
import sys
import time

WINDOW = ("0", "40", "80", "700")


def run_store(src, dst, workers):
    """One store on a new LocalCluster; prints its seconds and this process's peak RSS."""
    import numpy as np
    from distributed import Client, LocalCluster

    import vrd
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=40) as cluster, Client(cluster) as client:
        client.run(__import__, "vrd")  # the workers' imports are not the store's cost
        start = time.perf_counter()
        windowed = vrd.to_dask(src).map_blocks(vrd.window, *map(float, WINDOW), dtype=np.float32)
        vrd.store(windowed, dst)
        seconds = time.perf_counter() - start
    # VmHWM: the peak of this program's own memory since it started (ru_maxrss
    # would count the parent's memory, which the fork that started us held).
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024
    print(json.dumps({"seconds": seconds, "peak_mib": peak}))


def blocks(path):
    """A digest of a file's slice blocks: everything from the first block on."""
    import vrd
    with vrd.open(path) as vol:
        first = int(vol.block_offsets[0])
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        f.seek(first)
        for part in iter(lambda: f.read(1 << 20), b""):
            digest.update(part)
    return digest.digest()


def dask_run(src, dst, workers):
    run = subprocess.run([sys.executable, __file__, "--run", src, dst, str(workers)],
                         capture_output=True, text=True)
    if run.returncode != 0 or run.stderr.strip():
        print(f"run on {workers} worker(s) of {src}:\n{run.stderr}", file=sys.stderr)
    run.check_returncode()
    return json.loads(run.stdout.splitlines()[-1])


def main(bindir, folder):
    big, small = os.path.join(folder, "a1024.vrd"), os.path.join(folder, "a256.vrd")
    out = os.path.join(folder, "out.vrd")
    voxel_bytes = 512 * 512 * 1024 * 4
    rate = lambda s, b=voxel_bytes: b / s / 1e6  # noqa: E731

    start = time.perf_counter()
    subprocess.run([os.path.join(bindir, "volmap"), big, out, *WINDOW], check=True)
    volmap = time.perf_counter() - start
    reference = blocks(out)
    runs = {w: dask_run(big, out, w) for w in (1, 2)}
    same = blocks(out) == reference
    small_run = dask_run(small, out, 2)

    print(f"{'run (1 GiB zlib float32, 512 x 512 x 1024)':<46} {'time':>8} {'rate':>10} {'caller peak RSS':>16}")
    print(f"{'volmap, default threads':<46} {volmap:7.2f}s {rate(volmap):6.0f} MB/s")
    for w, r in runs.items():
        print(f"{f'vrd.store on LocalCluster, {w} worker(s)':<46} {r['seconds']:7.2f}s "
              f"{rate(r['seconds']):6.0f} MB/s {r['peak_mib']:11.1f} MiB")
    print(f"{'vrd.store, 2 workers, nz 256 (256 MiB)':<46} {small_run['seconds']:7.2f}s "
          f"{rate(small_run['seconds'], voxel_bytes // 4):6.0f} MB/s {small_run['peak_mib']:11.1f} MiB")
    print()
    print(f"2 workers / 1 worker: {runs[1]['seconds'] / runs[2]['seconds']:.2f}x; "
          f"2 workers / volmap: {volmap / runs[2]['seconds']:.2f}x; "
          f"slice blocks the same as volmap's: {'yes' if same else 'NO'}")
    print(f"({os.cpu_count()} cores; volumes in {folder})")


if __name__ == "__main__":
    if sys.argv[1] == "--run":
        run_store(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main(sys.argv[1], sys.argv[2])
