"""The Python package against the CPU library (and the CUDA library where a device answers)."""

import inspect
import json
import math
import multiprocessing
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import taluna


@pytest.fixture
def ctx():
    with taluna.Context(backend="cpu") as c:
        yield c


def white_particle_frame(ctx):
    ctx.upload(np.zeros((1, 3)))
    return ctx.render(taluna.Camera(eye=(0, 0, 5), target=(0, 0, 0), fov_y=60),
                      taluna.Settings(width=9, height=7, intensity=1.0))


def test_context_lifecycle_and_errors(ctx):
    assert ctx.backend == "cpu" and " | CC " in ctx.device_info and ctx.last_error == ""
    with pytest.raises(taluna.Error, match="tlSetCount: larger than capacity"):
        ctx.set_count(10)
    ctx.reserve(4)
    with pytest.raises(taluna.Error, match=r"capacity exceeded \(call tlReserve first\)"):
        ctx.upload(np.zeros((5, 3)), reserve=False)
    ctx.close()
    with pytest.raises(taluna.Error, match="context is closed"):
        ctx.count
    with pytest.raises(taluna.Error, match="Could not initialize CUDA device"):
        taluna.Context(device=5, backend="cpu")
    with pytest.raises(ValueError):
        taluna.Context(backend="vulkan")
    with pytest.MonkeyPatch.context() as mp:  # a GPU library that cannot be loaded
        mp.setitem(taluna._LIB_NAMES, "cuda", "libtaluna_missing.so")
        mp.setattr(taluna, "_loaded", {})
        with pytest.warns(taluna.FallbackWarning, match="libtaluna_missing.so"), taluna.Context() as c:
            assert c.backend == "cpu" and "libtaluna_missing.so" in c.fallback_reason


def test_public_names_have_docstrings():
    names = [getattr(taluna, name) for name in taluna.__all__]
    for m in names + [m for c in names if inspect.isclass(c) for k, m in vars(c).items() if k[0] != "_"]:
        assert not (inspect.isclass(m) or inspect.isfunction(m) or isinstance(m, property)) or m.__doc__.strip(), m


def test_upload_converts_and_refuses(ctx):
    ctx.upload([[0, 0, 0], [1, 2, 3]], colors=[[1.0, 0.5, 0.0], [0.0, 0.0, 1.0]])
    assert ctx.count == 2
    ctx.upload(np.arange(18, dtype=np.float64), velocities=np.zeros((6, 3)))
    assert ctx.count == 6
    z = np.zeros
    for kwargs, match in [(dict(positions=z((4, 2))), r"must have shape \(n, 3\)"), (dict(offset=-1), ""),
                          (dict(offset=7), "past the end of the cloud"),
                          (dict(colors=z((3, 4))), "colors must have shape"), (dict(colors=[[300, 0, 0]]), "0..255"),
                          (dict(velocities=z((3, 3))), "have 1 rows"), (dict(positions=[["a"] * 3]), "numeric")]:
        with pytest.raises(ValueError, match=match):
            ctx.upload(**{"positions": z((1, 3)), **kwargs})
    assert ctx.count == 6  # refused uploads touch nothing


def test_upload_replaces_the_cloud_or_writes_in_place(ctx):
    small, cam, settings = np.random.default_rng(5).normal(0, 20, (1000, 3)), taluna.Camera(), taluna.Settings(64, 32)

    def check_frame(colors=None):  # against a context given only these particles
        with taluna.Context(backend="cpu") as fresh:
            fresh.upload(small, colors)
            np.testing.assert_allclose(ctx.render(cam, settings)[1], fresh.render(cam, settings)[1], atol=1e-6)
    ctx.upload(np.ones((50_000, 3)))
    ctx.upload(small)
    assert ctx.count == 1000
    check_frame()
    ctx.upload(small[100:200] + 5, colors=[[255, 0, 0]] * 100, offset=100)
    with pytest.raises(taluna.Error, match="velocity passed"):  # making room for them would drop the cloud
        ctx.upload(small[:5], velocities=np.zeros((5, 3)), offset=10)
    small[100:200] += 5
    check_frame(np.where(np.arange(1000)[:, None] // 100 == 1, [255, 0, 0], 255))


def test_render_one_white_particle(ctx):
    rgba, img, ms = white_particle_frame(ctx)
    assert rgba.shape == img.shape == (7, 9, 4) and rgba.dtype == np.uint8 and img.dtype == np.float32 and ms >= 0
    (y, x), = np.argwhere(img[..., 3] > 0)  # one pixel
    assert np.allclose(img[y, x], 1 - math.exp(-1), atol=1e-6)
    assert tuple(rgba[y, x]) == (207, 207, 207, 255)
    assert img.sum() == pytest.approx(4 * (1 - math.exp(-1)), rel=1e-5)


def test_render_outputs_optional_and_bad_sizes(ctx):
    ctx.generate_galaxy(1000, seed=3, with_velocity=True)
    rgba, img, _ = ctx.render(taluna.Camera(), taluna.Settings(width=16, height=8), want_8bit=False)
    assert ctx.count == 1000 and rgba is None and img.shape == (8, 16, 4)
    with pytest.raises(ValueError):
        ctx.render(taluna.Camera(), taluna.Settings(width=0, height=8))
    with pytest.raises(ValueError, match="projection"):
        ctx.render(taluna.Camera(projection="fisheye"), taluna.Settings(width=4, height=4))


def test_parts_accumulated_then_resolved_are_the_rendered_frame(ctx):
    cam, rs = taluna.Camera(), taluna.Settings(width=48, height=32, jitter_count=2, samples=2, seed=4)
    ctx.generate_galaxy(9000, seed=2)
    rgba, img, _ = ctx.render(cam, rs)
    sums = None
    with taluna.Context(backend="cpu") as other:  # the cloud in three parts on two contexts
        for first, n, c in ((0, 4000, ctx), (4000, 3000, other), (7000, 2000, other)):
            c.generate_galaxy(n, seed=2, first=first)
            sums = c.accumulate(cam, rs, first_index=first, sums=sums)
    parts_rgba, parts_img = taluna.resolve(sums, rs)
    assert sums.shape == (32, 48, 4) and (sums[..., 3] > 0).sum() > 100
    assert np.allclose(parts_img, img, rtol=1e-4, atol=1e-6)
    assert np.abs(parts_rgba.astype(int) - rgba).max() <= 1
    with pytest.raises(taluna.Error, match="lit path renders on one device only"):
        ctx.accumulate(cam, taluna.Settings(width=48, height=32, lighting=True))
    with pytest.raises(ValueError, match="sums must be"):
        ctx.accumulate(cam, rs, sums=np.zeros((32, 48, 4)))  # float64
    free, total = ctx.device_memory
    assert 0 < free <= total


def test_save_png_and_exr_round_trip(ctx, tmp_path):
    rgba8, img, _ = white_particle_frame(ctx)
    png, exr = tmp_path / "frame.png", tmp_path / "frame é.exr"
    taluna.save_png(png, img[..., :3], sixteen_bit=True)
    taluna.save_exr(exr, img)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.read_bytes()[24] == 16  # IHDR bit depth
    # Over black: the same colours, alpha 1, and the caller's array untouched.
    taluna.save_exr(tmp_path / "opaque.exr", img, opaque=True)
    first_line_alpha = np.frombuffer((tmp_path / "opaque.exr").read_bytes()[331 + 8 * 7 + 8:][:2 * 9], np.float16)
    assert (first_line_alpha == 1.0).all() and img[..., 3].min() == 0.0
    assert exr.read_bytes()[:4] == b"\x76\x2f\x31\x01" and exr.stat().st_size == 331 + 16 * 7 + 8 * 9 * 7
    with pytest.raises(taluna.Error, match="cannot write PNG"):
        taluna.save_png(tmp_path / "missing-dir" / "x.png", img)
    with pytest.raises(ValueError):
        taluna.save_png(png, np.zeros((4, 4), np.float32))
    with pytest.raises(ValueError, match="uint8"):
        taluna.save_exr(exr, np.zeros((4, 4, 4), np.int32))
    # render's 8-bit image: to PNG as is (the bytes the float image over black gives), to EXR as linear values.
    taluna.save_png(png, rgba8)
    taluna.save_png(tmp_path / "f.png", img, opaque=True)
    taluna.save_exr(exr, rgba8)
    assert png.read_bytes() == (tmp_path / "f.png").read_bytes()
    halves = [np.frombuffer(f.read_bytes()[331 + 8 * 7:], np.float16) for f in (exr, tmp_path / "opaque.exr")]
    np.testing.assert_allclose(*halves, atol=2e-3)  # the same lines, with 8-bit steps


def test_lit_render_with_lights(ctx):
    ctx.generate_galaxy(20000, seed=2)
    cam, lights = taluna.Camera(), [taluna.Light(kind="sun", direction=(0.3, -1, 0), cast_shadows=True),
                                    taluna.Light(kind="point", position=(0, 30, 0), color=(3, 2, 1), cast_shadows=True)]
    _, img, _ = ctx.render(cam, taluna.Settings(width=64, height=36, lighting=True, intensity=1.0), lights)
    assert img[..., :3].max() > 0 and np.isfinite(img).all()
    _, dark, _ = ctx.render(cam, taluna.Settings(width=64, height=36, lighting=True, density=0.0), lights)
    assert (dark[..., :3] == 0).all()  # a cloud without density deposits and shades nothing
    with pytest.raises(ValueError, match="kind must be one of point, spot, sun"):
        ctx.render(cam, taluna.Settings(width=8, height=8, lighting=True), [taluna.Light(kind="laser")])
    with pytest.raises(ValueError, match="lights: at most 8 lights"):
        ctx.render(cam, taluna.Settings(width=8, height=8, lighting=True), [taluna.Light()] * 9)


def _small_frame(ctx, lighting):
    ctx.generate_galaxy(5000, seed=4)
    lights = [taluna.Light(kind="sun", direction=(0.3, -1, 0), cast_shadows=True)] if lighting else []
    settings = taluna.Settings(width=32, height=18, intensity=1.0, lighting=lighting, shadow_map_size=64)
    return ctx.render(taluna.Camera(), settings, lights)[1]


def _small_frame_on_new_context(lighting):
    with taluna.Context(backend="cpu") as c:
        return _small_frame(c, lighting)


def test_forked_workers_render_after_the_parent_rendered(ctx):
    # multiprocessing's fork start method: worker processes forked from a process that rendered render
    # the parent's frames; a worker stuck in the thread pool it inherited fails at the deadline.
    expected = [_small_frame(ctx, lighting) for lighting in (False, True)]
    with multiprocessing.get_context("fork").Pool(2, maxtasksperchild=1) as pool:
        frames = pool.map_async(_small_frame_on_new_context, [False, True], chunksize=1).get(timeout=60)
    for got, want in zip(frames, expected):
        np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(_small_frame(ctx, True), expected[1], rtol=1e-5, atol=1e-6)
    with open("/proc/self/maps") as maps:
        assert "libgomp" not in maps.read()  # one OpenMP runtime in the process, not GNU's beside it


# name[=key]: the key of taluna-render --print-scene with the same default, under the last prefix ("camera.";
# "lights.N." is each light in turn).
TOOL_KEYS = {
    "camera": "camera. eye target up fov_y=fov focus_distance=focus aperture projection camera.panorama. "
    "lon_min=longitude.0 lon_max=longitude.1 lat_min=latitude.0 lat_max=latitude.1 eye_offset convergence "
    "nodal_offset pole_mode_top=pole_top.mode pole_mode_bottom=pole_bottom.mode pole_angle_top=pole_top.angle "
    "pole_angle_bottom=pole_bottom.angle pole_exponent_top=pole_top.exponent pole_exponent_bottom=pole_bottom.exponent",
    "settings": "settings. width height intensity exposure jitter_count=jitter jitter_sigma=sigma samples shutter seed "
    "lighting. lighting=enabled density ambient base_light anisotropy shadow_map_size=shadow_map shadow_slices "
    "depth_slices",
    "lights": "lights.N. kind position direction color outer_angle=cone.0 inner_angle=cone.1 falloff range "
    "inner_range cast_shadows=shadows",
}


def test_defaults_and_refusals_are_the_tools(tmp_path):
    tool = os.environ.get("TALUNA_RENDER_TOOL", os.path.join(os.environ["TALUNA_LIBRARY_DIR"], "../bin/taluna-render"))
    run = lambda *args: subprocess.run([tool, *args, "--print-scene"], capture_output=True, text=True)  # noqa: E731
    scene, lit_scene = json.loads(run().stdout), json.loads(run("--lit").stdout)
    scene["lights"].append(json.loads(run("--light", "point").stdout)["lights"][0])  # the tool's default light
    records = {"camera": [taluna.DEFAULT_CAMERA], "settings": [taluna.DEFAULT_SETTINGS],
               "lights": [*taluna.DEFAULT_LIGHTS, taluna.DEFAULT_LIGHT]}
    for record, keys in TOOL_KEYS.items():
        for index, defaults in enumerate(records[record]):
            assert {t.partition("=")[0] for t in keys.split() if not t.endswith(".")} == set(defaults)  # all compared
            for token in keys.split():
                if token.endswith("."):
                    prefix = token.replace("N", str(index))
                    continue
                name, _, key = token.partition("=")
                value = scene
                for part in (prefix + (key or name)).split("."):
                    value = value[int(part)] if part.isdigit() else value[part]
                value = ["none", "linear", "power"].index(value) if name.startswith("pole_mode") else value
                mine = defaults[name]  # compared as the float32 the records hold
                if mine is None:  # exposure: the tool's choice on either path
                    mine = [taluna.Settings(lighting=lit)._record().exposure for lit in (False, True)]
                    value = [value, lit_scene["settings"]["exposure"]]
                same = mine == value if isinstance(mine, str) else np.array_equal(np.float32(mine), np.float32(value))
                assert same, name
    # The same light kinds and light limit (the package's refusals are in test_lit_render_with_lights).
    (tmp_path / "laser.json").write_text('{"lights": [{"kind": "laser"}]}')
    assert f"one of {', '.join(taluna.LIGHT_KINDS)}, got" in run("--scene", str(tmp_path / "laser.json")).stderr
    assert "at most 8 lights" in run(*["--light", "point"] * 9).stderr and taluna.MAX_LIGHTS == 8


RENDER_ONE = ("import numpy as np, taluna; c = taluna.Context(backend='cpu'); c.upload(np.zeros((1, 3))); c.render(); "
              "print(taluna.__file__, next(m.split()[-1] for m in open('/proc/self/maps') if 'libtaluna_cpu' in m))")


def render_elsewhere(python, cwd, **env):  # a frame in a new process: the package's and the library's files
    env = {k: v for k, v in {**os.environ, "PYTHONPATH": None, **env}.items() if v is not None}
    run = subprocess.run([python, "-c", RENDER_ONE], cwd=cwd, env=env, check=True, stdout=subprocess.PIPE, text=True)
    return [Path(name) for name in run.stdout.split()]


def test_installs_find_the_library(tmp_path):
    lib_dir = Path(os.environ["TALUNA_LIBRARY_DIR"]).resolve()
    # pip into a virtual environment (offline: Debian's setuptools); the library from the variable or the path.
    if subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", tmp_path]).returncode:
        pytest.skip("cannot create a virtual environment")
    source = shutil.copytree(Path(__file__).parents[1], tmp_path / "src",  # not an in-tree build's leftovers
                             ignore=shutil.ignore_patterns("tests", "build", "*.egg-info"))
    subprocess.run([tmp_path / "bin/python", "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", source],
                   check=True)
    for env in dict(TALUNA_LIBRARY_DIR=str(lib_dir)), dict(TALUNA_LIBRARY_DIR=None, LD_LIBRARY_PATH=str(lib_dir)):
        package, library = render_elsewhere(tmp_path / "bin/python", "/", **env)
        assert package.is_relative_to(tmp_path / "lib") and library.parent == lib_dir
    # cmake --install: the package where Python finds it under the prefix, knowing the libraries' folder.
    prefix = tmp_path / "prefix"
    subprocess.run([shutil.which("cmake"), "--install", lib_dir.parent, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)
    site = next(prefix.glob("lib/python3*/*-packages"))
    package, library = render_elsewhere(sys.executable, "/", TALUNA_LIBRARY_DIR=None, PYTHONPATH=str(site))
    assert package.parent == site / "taluna" and library.parent == (prefix / "lib").resolve()


def test_serve_over_the_context(ctx, tmp_path):
    """The tool's viewer on a cloud held here: the token, a frame, a refused view; the context renders again
    once it stops, and settings the tool refuses are refused with its message."""
    import urllib.error
    import urllib.request
    ctx.generate_galaxy(20_000)
    viewer = taluna.serve(ctx, settings=taluna.Settings(width=64, height=48), port=0, block=False,
                          outputs=[str(tmp_path / "v.png")])
    with pytest.raises(taluna.Error, match="already being served"):
        taluna.serve(ctx, port=0, block=False)
    base, token = viewer.url.split("/?token=")
    try:
        assert b"<canvas" in urllib.request.urlopen(viewer.url).read()
        with pytest.raises(urllib.error.HTTPError, match="403"):
            urllib.request.urlopen(base + "/info")

        def post(view):
            return urllib.request.urlopen(urllib.request.Request(base + "/frame?token=" + token,
                                                                 data=json.dumps({"view": view}).encode()))
        frame = post({"settings": {"width": 40, "height": 30}})
        assert frame.headers["Content-Type"] == "image/jpeg" and frame.headers["X-Size"] == "40x30"
        with pytest.raises(urllib.error.HTTPError) as refused:
            post({"camera": {"fov": 0}})
        assert refused.value.code == 400 and b"view.camera.fov: must be greater than 0" in refused.value.read()
    finally:
        viewer.stop()
    assert repr(viewer) == "Viewer(stopped)"
    ctx.render(taluna.Camera(), taluna.Settings(width=8, height=8))
    with pytest.raises(taluna.Error, match="settings.width: expected an integer from 1 to 65535"):
        taluna.serve(ctx, settings=taluna.Settings(width=0), port=0, block=False)
