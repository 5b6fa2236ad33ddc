"""The Python package against the CPU library (and the CUDA library where a device answers)."""

import json
import math
import multiprocessing
import os
import subprocess

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
    with taluna.Context() as c:  # auto
        assert c.backend == "cuda" or (c.backend == "cpu" and c.fallback_reason)  # says why not the GPU


def test_upload_converts_and_refuses(ctx):
    ctx.upload([[0, 0, 0], [1, 2, 3]], colors=[[1.0, 0.5, 0.0], [0.0, 0.0, 1.0]])
    assert ctx.count == 2
    ctx.upload(np.arange(12, dtype=np.float64), velocities=np.zeros((4, 3)), offset=2)
    assert ctx.count == 6
    z = np.zeros
    for kwargs, match in [(dict(positions=z((4, 2))), r"must have shape \(n, 3\)"), (dict(offset=-1), ""),
                          (dict(colors=z((3, 4))), "colors must have shape"), (dict(colors=[[300, 0, 0]]), "0..255"),
                          (dict(velocities=z((3, 3))), "have 1 rows"), (dict(positions=[["a"] * 3]), "numeric")]:
        with pytest.raises(ValueError, match=match):
            ctx.upload(**{"positions": z((1, 3)), **kwargs})
    assert ctx.count == 6  # refused uploads touch nothing


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


def test_save_png_and_exr_round_trip(ctx, tmp_path):
    _, img, _ = white_particle_frame(ctx)
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
    with pytest.raises(ValueError, match="floats"):
        taluna.save_exr(exr, np.zeros((4, 4, 4), np.uint8))


def test_lit_render_with_lights(ctx):
    ctx.generate_galaxy(20000, seed=2)
    cam, lights = taluna.Camera(), [taluna.Light(kind="directional", direction=(0.3, -1, 0), cast_shadows=True),
                                    taluna.Light(kind="point", position=(0, 30, 0), color=(3, 2, 1), cast_shadows=True)]
    _, img, _ = ctx.render(cam, taluna.Settings(width=64, height=36, lighting=True, intensity=1.0), lights)
    assert img[..., :3].max() > 0 and np.isfinite(img).all()
    _, dark, _ = ctx.render(cam, taluna.Settings(width=64, height=36, lighting=True, density=0.0), lights)
    assert (dark[..., :3] == 0).all()  # a cloud without density deposits and shades nothing
    with pytest.raises(ValueError, match="kind"):
        ctx.render(cam, taluna.Settings(width=8, height=8, lighting=True), [taluna.Light(kind="laser")])


def _small_frame(ctx, lighting):
    ctx.generate_galaxy(5000, seed=4)
    lights = [taluna.Light(kind="directional", direction=(0.3, -1, 0), cast_shadows=True)] if lighting else []
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


# name[=key]: the key of taluna-render --print-scene with the same default, under the last prefix ("camera.").
TOOL_KEYS = {
    "camera": "camera. eye target up fov_y=fov focus_distance=focus aperture projection camera.panorama. "
    "lon_min=longitude.0 lon_max=longitude.1 lat_min=latitude.0 lat_max=latitude.1 eye_offset convergence "
    "nodal_offset pole_mode_top=pole_top.mode pole_mode_bottom=pole_bottom.mode pole_angle_top=pole_top.angle "
    "pole_angle_bottom=pole_bottom.angle pole_exponent_top=pole_top.exponent pole_exponent_bottom=pole_bottom.exponent",
    "settings": "settings. width height intensity exposure jitter_count=jitter jitter_sigma=sigma samples shutter seed "
    "lighting. lighting=enabled density ambient base_light anisotropy shadow_map_size=shadow_map shadow_slices "
    "depth_slices",
    "light": "lights.0. kind position direction color outer_angle=cone.0 inner_angle=cone.1 falloff range inner_range "
    "cast_shadows=shadows",
}


def test_defaults_are_the_tools():
    tool = os.environ.get("TALUNA_RENDER_TOOL", os.path.join(os.environ["TALUNA_LIBRARY_DIR"], "../bin/taluna-render"))
    tool_run = subprocess.run([tool, "--light", "point", "--plain", "--print-scene"], check=True,
                              stdout=subprocess.PIPE)
    scene = json.loads(tool_run.stdout)
    for record, keys in TOOL_KEYS.items():
        defaults, prefix = getattr(taluna, "DEFAULT_" + record.upper()), ""
        assert {t.partition("=")[0] for t in keys.split() if not t.endswith(".")} == set(defaults)  # all compared
        for token in keys.split():
            if token.endswith("."):
                prefix = token
                continue
            name, _, key = token.partition("=")
            value = scene
            for part in (prefix + (key or name)).split("."):
                value = value[int(part)] if part.isdigit() else value[part]
            value = ["none", "linear", "power"].index(value) if name.startswith("pole_mode") else value
            mine = defaults[name]  # compared as the float32 the records hold
            assert mine == value if isinstance(mine, str) else np.array_equal(np.float32(mine), np.float32(value)), name
