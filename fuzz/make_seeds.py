#!/usr/bin/env python3
"""Writes the hand-made seed inputs (files named seed-*) of the fuzz targets into fuzz/corpus/.

The layouts follow the comments at the top of each target's source. The fuzzers grow the corpora from
these; scripts/fuzz.sh merges what they find. Run again after changing a layout.
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
NAN = float("nan")
INF = float("inf")


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


# ---- render: control, TLCamera, TLRenderSettings, light count, lights, particles ----
def control(cloud=1, rgba=True, floats=True, ms=True, null_lights=False, particles=64, seed=3,
            fault=(0, 0, 0), lights=0):
    flags = cloud | (4 if rgba else 0) | (8 if floats else 0) | (16 if ms else 0) | (32 if null_lights else 0)
    return struct.pack("<8B", flags, particles, seed, fault[0], fault[1], fault[2], lights, 0)


def camera(eye=(0, 60, 160), target=(0, 0, 0), up=(0, 1, 0), fov=50.0, focus=0.0, aperture=0.0,
           projection=0, lon=(0.0, 0.0), lat=(0.0, 0.0), eye_offset=0.0, convergence=0.0, nodal=0.0,
           pole_modes=(0, 0), pole_angles=(0.0, 0.0), pole_exponents=(0.0, 0.0)):
    return struct.pack("<9f3fi4f3f2i4f", *eye, *target, *up, fov, focus, aperture, projection, *lon, *lat,
                       eye_offset, convergence, nodal, *pole_modes, *pole_angles, *pole_exponents)


def settings(w=24, h=16, intensity=1.0, exposure=1.0, jitter=0, sigma=0.0, samples=1, shutter=0.0, seed=1,
             lit=0, density=1.0, ambient=0.05, base=(0.1, 0.1, 0.1), g=0.3, map_size=16, shadow_slices=8,
             depth_slices=8):
    return struct.pack("<ii2fif if I i 2f 3f f 3i".replace(" ", ""), w, h, intensity, exposure, jitter, sigma,
                       samples, shutter, seed, lit, density, ambient, *base, g, map_size, shadow_slices,
                       depth_slices)


def light(kind=0, position=(0, 80, 0), direction=(0, -1, 0), color=(1, 1, 1), outer=40.0, inner=20.0,
          falloff=2, rng=100.0, inner_range=10.0, shadows=1):
    return struct.pack("<i3f3f3f2fiffi", kind, *position, *direction, *color, outer, inner, falloff, rng,
                       inner_range, shadows)


def render_seed(name, ctl, cam, st, lights=(), count=None, particles=b""):
    count = len(lights) if count is None else count
    put("render", name, ctl + cam + st + struct.pack("<i", count) + b"".join(lights) + particles)


render_seed("plain", control(), camera(), settings())
render_seed("plain-jitter-blur-dof", control(cloud=2), camera(focus=150.0, aperture=2.0),
            settings(jitter=3, sigma=1.5, samples=4, shutter=2.0))
render_seed("panorama-stereo", control(), camera(eye=(0, 5, 0), projection=1, lon=(-180.0, 180.0),
                                                  lat=(-90.0, 90.0), eye_offset=0.03, convergence=2.0,
                                                  nodal=0.01, pole_modes=(1, 2), pole_angles=(30.0, 20.0),
                                                  pole_exponents=(2.0, 0.0)), settings(w=32, h=16))
render_seed("lit-sun", control(lights=1), camera(), settings(lit=1), [light(kind=2, direction=(0.3, -1, -0.2))])
render_seed("lit-three-lights", control(cloud=2, lights=3), camera(), settings(lit=1, jitter=1, sigma=0.5,
                                                                                samples=2, shutter=1.0),
            [light(kind=0), light(kind=1, direction=(0, -1, 0.1)), light(kind=2, shadows=0)])
render_seed("lit-panorama", control(lights=1), camera(eye=(0, 5, 0), projection=1, eye_offset=-0.03),
            settings(lit=1), [light(kind=0, position=(0, 40, 0), falloff=5)])
render_seed("lit-empty-cloud", control(cloud=0, lights=1), camera(), settings(lit=1), [light()])
render_seed("lit-null-lights", control(null_lights=True), camera(), settings(lit=1), count=2)
render_seed("lit-no-lights", control(), camera(), settings(lit=1, density=0.0, g=5.0))
nan_particles = b"".join(struct.pack("<3f4B3f", *p, 255, 255, 255, 255, *v) for p, v in [
    ((NAN, 0, -1), (0, 0, 0)), ((INF, -INF, -1), (1, 0, 0)), ((0, 0, -1), (NAN, INF, 0)),
    ((3e38, -3e38, 1e-45), (0, 0, 0)), ((0, 0, -1e-3), (0, 0, 0))])
render_seed("nan-particles", control(cloud=3, particles=5), camera(eye=(0, 0, 0), target=(0, 0, -1)),
            settings(samples=3, shutter=1.0), particles=nan_particles)
render_seed("nan-particles-lit", control(cloud=3, particles=5, lights=2), camera(eye=(0, 0, 0), target=(0, 0, -1)),
            settings(lit=1, samples=2, shutter=1.0), [light(kind=0, position=(0, 0, 0)), light(kind=1)],
            particles=nan_particles)
render_seed("nan-settings", control(), camera(fov=NAN, focus=INF, aperture=NAN),
            settings(intensity=NAN, exposure=-INF, sigma=NAN, shutter=NAN))
render_seed("nan-lit-settings", control(lights=1), camera(eye=(NAN, 0, 0)),
            settings(lit=1, density=INF, ambient=NAN, g=NAN), [light(kind=1, outer=NAN, inner=INF, rng=NAN)])
render_seed("size-beyond-int32", control(), camera(), settings(w=65536, h=32768))
render_seed("size-negative", control(), camera(), settings(w=-5, h=16))
render_seed("size-beyond-limit", control(), camera(), settings(w=4096, h=4096))
render_seed("work-beyond-64-bits", control(particles=255), camera(),
            settings(jitter=0x7FFFFFFF, samples=0x7FFFFFFF))
render_seed("shadow-map-beyond-64-bits", control(lights=1), camera(),
            settings(lit=1, map_size=1 << 30, shadow_slices=1 << 30), [light()])
render_seed("shadow-map-default-size", control(lights=1), camera(), settings(lit=1, map_size=0, shadow_slices=0),
            [light(kind=2)])
render_seed("depth-slices-huge", control(lights=0), camera(), settings(w=1, h=1, lit=1, depth_slices=0x7FFFFFFF))
render_seed("many-lights", control(lights=8), camera(), settings(lit=1, map_size=9, shadow_slices=2),
            [light(kind=k % 3, position=(10 * k, 50, 0)) for k in range(8)], count=0x7FFFFFFF)
for site in range(1, 7):
    render_seed("fault-plain-%d" % site, control(fault=(site, 1, site)), camera(), settings())
    render_seed("fault-lit-%d" % site, control(fault=(site, 3, site), lights=1), camera(), settings(lit=1),
                [light(kind=0)])


# ---- store: operation byte and arguments ----
def amount(v, band="small"):
    if band == "small":
        return struct.pack("<Q", v % 4096)
    if band == "medium":
        return struct.pack("<Q", (2 << 62) | (v % (1 << 23)))
    return struct.pack("<Q", (3 << 62) | v)  # shifted right by its low 6 bits


def op_reserve(n, vel, band="small"):
    return bytes([0]) + amount(n, band) + bytes([vel])


def op_upload(flags, n, offset, data=b""):
    return bytes([1, flags]) + amount(n) + amount(offset) + data


def op_count(n, band="small"):
    return bytes([2]) + amount(n, band)


def op_generate(n, seed, vel, band="small"):
    return bytes([3]) + amount(n, band) + struct.pack("<I", seed) + bytes([vel])


OP_RENDER, OP_NULL, OP_DISARM = bytes([4]), bytes([6]), bytes([7])


def op_fault(site, call, code):
    return bytes([5, site, call, code])


pieces = b"".join(struct.pack("<3f4B3f", i, -i, 0.5, 10 * i, 20, 30, 255, 0.1, 0, 0) for i in range(8))
put("store", "reserve-upload-count", op_reserve(100, 1) + op_upload(6, 50, 0, pieces) + op_upload(0, 20, 60) +
    op_count(70) + OP_RENDER + op_count(101))
put("store", "generate-render", op_generate(500, 7, 1) + OP_RENDER + op_reserve(100, 0) + op_generate(300, 1, 0) +
    OP_RENDER)
put("store", "refusals", op_reserve(5, 0) + op_upload(1, 3, 0) + op_upload(0, 4, 2) + op_upload(4, 2, 0) +
    op_count(6) + op_reserve(0xFFFFFFFFFFFFFF, 1, "huge") + op_reserve(1 << 45 | 5, 0, "huge") +
    op_reserve(3_000_000, 0, "medium") + OP_NULL)
put("store", "faults", op_reserve(64, 1) + op_fault(1, 0, 0) + op_reserve(128, 1) + op_fault(2, 1, 1) +
    op_upload(6, 10, 0, pieces) + op_fault(3, 0, 2) + op_upload(0, 10, 0) + op_fault(4, 0, 3) +
    op_generate(32, 1, 1) + op_fault(6, 0, 5) + op_generate(32, 1, 0) + op_fault(6, 0, 2) + OP_RENDER + OP_DISARM +
    OP_RENDER)

# ---- image writers: flags, width, height, floats ----
def image(flags, w, h, values):
    return struct.pack("<Bii", flags, w, h) + struct.pack("<%df" % len(values), *values)


special = [0.0, 1.0, 0.5, 1.0, NAN, 0.2, INF, 0.5, -INF, -1.0, 2.0, NAN, 1e-7, 1e-7, 1e-7, 1e-7, 65520.0,
           65504.0, -0.0, 2 ** -24, 2 ** -25, 3e38, -3e38, 1.0]
for flags, name in [(0, "png8"), (2, "png16"), (1, "exr")]:
    put("image_writers", name + "-edge-values", image(flags, 3, 2, special))
    put("image_writers", name + "-gradient", image(flags, 16, 8, [((i * 37) % 101) / 50.0 for i in range(16 * 8 * 4)]))
    put("image_writers", name + "-one-pixel", image(flags, 1, 1, [1, 1, 1, 1]))
    put("image_writers", name + "-zero-size", image(flags, 0, 5, []))
    put("image_writers", name + "-null-pixels", image(flags | 8, 2, 2, []))
    put("image_writers", name + "-null-path", image(flags | 4, 2, 2, [0] * 16))
    put("image_writers", name + "-missing-folder", image(flags | 16, 2, 2, [0] * 16))
    put("image_writers", name + "-huge", image(flags, 0x7FFFFFFF, 0x7FFFFFFF, []))
    put("image_writers", name + "-wide", image(flags, 0x10000000, 1, []))
    put("image_writers", name + "-tall", image(flags, 1, 0x7FFFFFFF, []))
    put("image_writers", name + "-folded", image(flags, 1000, 1000, [0.25] * 64))

# ---- readers: chunk byte, file ----
def ply_header(fmt, count, props, extra=""):
    lines = ["ply", "format %s 1.0" % fmt, "comment seed", extra.strip()] if extra else ["ply", "format %s 1.0" % fmt]
    lines = [l for l in lines if l]
    lines.append("element vertex %d" % count)
    lines += ["property %s %s" % (t, n) for t, n in props]
    lines.append("end_header")
    return ("\n".join(lines) + "\n").encode()


props = [("float", "x"), ("float", "y"), ("float", "z"), ("uchar", "red"), ("uchar", "green"), ("uchar", "blue"),
         ("uchar", "alpha"), ("float", "vx"), ("float", "vy"), ("float", "vz")]
rows = [(i * 0.5, -i, 2.0, 10 * i % 256, 20, 30, 255, 0.1, 0.0, -0.1) for i in range(6)]
ascii_body = "".join(" ".join(str(v) for v in r) + "\n" for r in rows).encode()
put("ply_reader", "ascii", bytes([2]) + ply_header("ascii", 6, props) + ascii_body)
for fmt, end in [("binary_little_endian", "<"), ("binary_big_endian", ">")]:
    body = b"".join(struct.pack(end + "3f4B3f", *r) for r in rows)
    put("ply_reader", fmt, bytes([3]) + ply_header(fmt, 6, props) + body)
face = "element face 2\nproperty list uchar int vertex_indices\n"
lead = ("ply\nformat binary_little_endian 1.0\nelement header_stuff 2\nproperty short a\nproperty list uchar "
        "double b\nelement vertex 3\nproperty double x\nproperty int y\nproperty ushort z\nproperty float red\n"
        "property float green\nproperty float blue\nproperty list uint char junk\n" + face + "end_header\n").encode()
body = struct.pack("<hB2d", 1, 2, 0.5, 1.5) + struct.pack("<hB", 3, 0)
for i in range(3):
    body += struct.pack("<diHfffI", i, -i, i, 0.5, 1.5, NAN, 2) + b"\x01\x02"
body += struct.pack("<B3i", 3, 0, 1, 2) + struct.pack("<B3i", 3, 0, 1, 2)
put("ply_reader", "binary-lists-and-leading-element", bytes([0]) + lead + body)
put("ply_reader", "ascii-lists", bytes([255]) + (
    "ply\nformat ascii 1.0\nelement vertex 2\nproperty list uchar float n\nproperty int x\nproperty char y\n"
    "property short z\nend_header\n3 1 2 3 4 -5 6\n\n0 7 8 9").encode())
put("ply_reader", "huge-count", bytes([1]) + ply_header("binary_little_endian", 1 << 60, props[:3]) + b"\0" * 12)
put("ply_reader", "truncated", bytes([1]) + ply_header("binary_big_endian", 5, props[:3]) + b"\0" * 20)

put("text_reader", "csv-byte-colours", bytes([1]) + b"# comment\nx,y,z,r,g,b,a,vx,vy,vz\n1,2,3,255,0,10,255,0.1,0,0\n"
    b"\n-1e3, 2.5e-3 ,\"3\",0,0,0,0,inf,nan,-0\n")
put("text_reader", "semicolons-fraction-colours", bytes([0]) + b"\xef\xbb\xbfX;Y;Z;red;green;blue\r\n0;0;0;0.5;1;0\r\n"
    b"1;1;1;2;-1;1e-1\r\n")
put("text_reader", "whitespace", bytes([255]) + b"x y z extra\n1 2 3 4\n\t5\t6  7 8\n")
put("text_reader", "bad-rows", bytes([3]) + b"x,y,z\n1,2\n1,2,3e39\n")
put("raw_reader", "three", bytes([1]) + struct.pack("<9f", 1, 2, 3, NAN, INF, -INF, 0, -0.0, 1e-45))
put("raw_reader", "ragged", bytes([0]) + b"\0" * 13)
put("raw_reader", "empty", bytes([4]))
