#!/usr/bin/python3
"""Windows a batch of vrd volumes on a Dask cluster, as volmap windows one:
one output per input, OUTDIR/<the input's file name>, with the input's
header as volmap writes it.

    window_batch.py [--scheduler ADDRESS] [--files-at-once N] MIN MID1 MID2 MAX OUTDIR INPUT...

Without --scheduler it starts a cluster of worker processes on this machine
(one per core); with one (tcp://host:8786, as `dask scheduler` prints) it
runs on that cluster, whose workers must see the input and output paths.
Each volume is read by the workers chunk by chunk, windowed there and
deflated into finished blocks; this process writes the outputs. A file that
fails (unreadable, damaged) is reported on standard error with its reason,
leaves no output, and the others go on; the exit status is then 1.
"""

import argparse
import os
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import vrd


def window_one(src, dst, window):
    with vrd.open(src) as vol:
        header = vol.header
    windowed = vrd.to_dask(src).map_blocks(vrd.window, *window, dtype=np.float32)
    # The input's grid, units, comments, compression and transfer functions go to the output.
    vrd.store(windowed, dst, header=header)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--files-at-once", type=int, default=2, metavar="N",
                        help="volumes stored at the same time (default 2)")
    for bound in ("MIN", "MID1", "MID2", "MAX"):
        parser.add_argument(bound, type=float)
    parser.add_argument("outdir")
    parser.add_argument("inputs", nargs="+", metavar="INPUT")
    args = parser.parse_args()
    window = (args.MIN, args.MID1, args.MID2, args.MAX)

    jobs, failed = [], 0
    os.makedirs(args.outdir, exist_ok=True)
    for src in args.inputs:
        dst = os.path.join(args.outdir, os.path.basename(src))
        if os.path.realpath(dst) == os.path.realpath(src):
            print(f"{src}: the output would replace the input", file=sys.stderr)
            failed += 1
        elif any(dst == other for _, other in jobs):
            print(f"{src}: another input has the same name ({dst})", file=sys.stderr)
            failed += 1
        else:
            jobs.append((src, dst))

    from distributed import Client, LocalCluster
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=os.cpu_count(), threads_per_worker=1, processes=True,
                                     host="127.0.0.1", dashboard_address=None))
    with client:
        def run(job):
            try:
                window_one(*job, window)
                return None
            except Exception as e:
                return f"{job[0]}: {e}"

        # Several volumes at once keep the workers busy between one volume's
        # last chunks and the next one's first.
        with ThreadPoolExecutor(max(1, args.files_at_once)) as pool:
            for error in pool.map(run, jobs):
                if error:
                    print(error, file=sys.stderr)
                    failed += 1
        if not args.scheduler:
            client.cluster.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
