"""The steps of a frame split over devices, measured on one: reading a particle file, uploading it,
splatting, bringing a part's sums back and adding them, and resolving the sums; with mpirun on PATH also
the reduction of one 1080p frame's sums over two processes. The figures of docs/scale.md come from here.

Usage: /usr/bin/python3 bench/scale_steps.py BUILD [particles (default 4000000)] [rounds (default 3)]
(BUILD: a configured build folder holding bin/taluna-render and lib/libtaluna_cpu.so)."""

import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

build = os.path.abspath(sys.argv[1])
particles = int(sys.argv[2]) if len(sys.argv) > 2 else 4_000_000
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
os.environ["TALUNA_LIBRARY_DIR"] = os.path.join(build, "lib")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import numpy as np  # noqa: E402
import taluna  # noqa: E402

W, H = 1920, 1080


def median_seconds(run):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


results = []


def report(step, seconds, amount, unit):
    results.append((step, seconds, amount / seconds, unit))
    print(f"{step:44s} {seconds * 1e3:9.1f} ms   {amount / seconds / 1e6:9.1f} M {unit}/s", flush=True)


with taluna.Context(backend="cpu") as ctx, tempfile.TemporaryDirectory() as work:
    cam, rs = taluna.Camera(), taluna.Settings(width=W, height=H)
    ctx.generate_galaxy(particles, seed=1)
    rng = np.random.default_rng(1)
    pos = rng.normal(0, 40, (particles, 3)).astype(np.float32)
    col = rng.integers(0, 256, (particles, 4), dtype=np.uint8)

    # Reading: a binary PLY of positions and colours through the renderer tool's reader; the tool's
    # own figure covers the read and the upload, at a tiny image.
    ply = os.path.join(work, "cloud.ply")
    with open(ply, "wb") as f:
        f.write(b"ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
                b"property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
                b"property uchar alpha\nend_header\n" % particles)
        rec = np.empty(particles, dtype=[("p", "<f4", 3), ("c", "u1", 4)])
        rec["p"], rec["c"] = pos, col
        rec.tofile(f)
    tool = os.path.join(build, "bin", "taluna-render")

    def tool_read(path):  # the tool's own time for reading and uploading the file, median of the rounds
        reads = []
        for _ in range(rounds):
            out = subprocess.run([tool, "--input", path, "--backend", "cpu", "--size", "64x36", "--intensity", "0.1",
                                  "--quiet", "-o", os.path.join(work, "x.png")], capture_output=True, text=True,
                                 check=True).stdout
            reads.append(float(re.search(r"in ([0-9.]+) ms", out).group(1)) / 1e3)
        return statistics.median(reads)

    report("read + upload (binary PLY, 16 B/particle)", tool_read(ply), particles, "particles")

    raw = os.path.join(work, "cloud.raw")
    pos.tofile(raw)
    report("read + upload (raw float32, 12 B/particle)", tool_read(raw), particles, "particles")

    report("upload (tlUpload, 16 B/particle)", median_seconds(lambda: ctx.upload(pos, col)), particles, "particles")

    ctx.generate_galaxy(particles, seed=1)
    sums = np.zeros((H, W, 4), np.float32)
    ctx.accumulate(cam, rs, sums=sums)  # warm: buffers and bins
    whole = median_seconds(lambda: ctx.accumulate(cam, rs, sums=sums))
    ctx.generate_galaxy(1, seed=1)
    ctx.accumulate(cam, rs, sums=sums)
    fixed = median_seconds(lambda: ctx.accumulate(cam, rs, sums=sums))
    report("fixed cost of a part: clear, download, add", fixed, W * H * 16, "bytes")
    report("splat (galaxy, samples 1, 1080p)", whole - fixed, particles, "particles")
    report("resolve (tlResolve, 1080p)", median_seconds(lambda: taluna.resolve(sums, 1.0)), W * H, "pixels")
    _, image = taluna.resolve(sums, 1.0)
    png = os.path.join(work, "frame.png")
    report("write an 8-bit PNG (1080p)", median_seconds(lambda: taluna.save_png(png, image)), W * H, "pixels")

    mpirun = shutil.which("mpirun")
    if mpirun:
        script = os.path.join(work, "reduce.py")
        with open(script, "w") as f:
            f.write("import time, statistics, numpy as np\nfrom mpi4py import MPI\n"
                    "c = MPI.COMM_WORLD\na = np.ones((%d, %d, 4), np.float32)\n"
                    "b = np.zeros_like(a) if c.rank == 0 else None\nts = []\n"
                    "for _ in range(%d):\n    c.Barrier(); t0 = time.perf_counter()\n"
                    "    c.Reduce(a, b, op=MPI.SUM, root=0); c.Barrier(); ts.append(time.perf_counter() - t0)\n"
                    "if c.rank == 0: print(statistics.median(ts))\n" % (H, W, max(rounds, 5)))
        flags = ["--oversubscribe"] + (["--allow-run-as-root"] if os.geteuid() == 0 else [])
        out = subprocess.run([mpirun, *flags, "-n", "2", "/usr/bin/python3", script], capture_output=True,
                             text=True)
        if out.returncode == 0:
            report("MPI_Reduce of 1080p sums, 2 ranks, one host", float(out.stdout.split()[-1]), W * H * 16, "bytes")
        else:
            print("mpirun failed:", out.stderr.strip()[-300:])
