"""The Python package against the CPU library (and the CUDA library where a device answers)."""

import math
import multiprocessing
import os

import numpy as np
import pytest

import taluna


@pytest.fixture
def ctx():
    with taluna.Context(backend="cpu") as c:
        yield c


def white_particle_frame(ctx, **settings):
    ctx.upload(np.zeros((1, 3)))
    cam = taluna.Camera(eye=(0, 0, 5), target=(0, 0, 0), fov_y=60)
    settings.setdefault("intensity", 1.0)
    rs = taluna.Settings(width=9, height=7, **settings)
    return ctx.render(cam, rs)


def test_context_lifecycle_and_errors(ctx):
    assert ctx.backend == "cpu"
    assert " | CC " in ctx.device_info
    assert ctx.last_error == ""
    with pytest.raises(taluna.Error, match="tlSetCount: larger than capacity"):
        ctx.set_count(10)
    ctx.close()
    with pytest.raises(taluna.Error, match="context is closed"):
        ctx.count
    with pytest.raises(taluna.Error, match="Could not initialize CUDA device"):
        taluna.Context(device=5, backend="cpu")
    with pytest.raises(ValueError):
        taluna.Context(backend="vulkan")


def test_auto_backend_falls_back_or_uses_gpu():
    with taluna.Context() as c:
        assert c.backend in ("cuda", "cpu")
        if c.backend == "cpu":
            assert c.fallback_reason  # says why the GPU library was not used


def test_upload_converts_and_refuses(ctx):
    ctx.upload([[0, 0, 0], [1, 2, 3]], colors=[[1.0, 0.5, 0.0], [0.0, 0.0, 1.0]])
    assert ctx.count == 2
    ctx.upload(np.arange(12, dtype=np.float64), velocities=np.zeros((4, 3)), offset=2)
    assert ctx.count == 6
    with pytest.raises(ValueError, match=r"positions must have shape \(n, 3\)"):
        ctx.upload(np.zeros((4, 2)))
    with pytest.raises(ValueError, match="colors must have shape"):
        ctx.upload(np.zeros((4, 3)), colors=np.zeros((3, 4)))
    with pytest.raises(ValueError, match="0..255"):
        ctx.upload(np.zeros((1, 3)), colors=[[300, 0, 0]])
    with pytest.raises(ValueError, match="velocities must have 2 rows"):
        ctx.upload(np.zeros((2, 3)), velocities=np.zeros((3, 3)))
    with pytest.raises(ValueError, match="numeric"):
        ctx.upload([["a", "b", "c"]])
    with pytest.raises(ValueError):
        ctx.upload(np.zeros((1, 3)), offset=-1)
    assert ctx.count == 6  # refused uploads touch nothing


def test_library_refusals_raise_with_its_text(ctx):
    with pytest.raises(taluna.Error, match=r"Not enough VRAM: needs 16384\.00 GB"):
        ctx.reserve(1 << 40)
    ctx.reserve(4)
    with pytest.raises(taluna.Error, match=r"capacity exceeded \(call tlReserve first\)"):
        ctx.upload(np.zeros((5, 3)), reserve=False)


def test_galaxy(ctx):
    ctx.generate_galaxy(10000, seed=3, with_velocity=True)
    assert ctx.count == 10000


def test_render_one_white_particle(ctx):
    rgba, img, ms = white_particle_frame(ctx)
    assert rgba.shape == (7, 9, 4) and rgba.dtype == np.uint8
    assert img.shape == (7, 9, 4) and img.dtype == np.float32
    assert ms >= 0
    lit = np.argwhere(img[..., 3] > 0)
    assert len(lit) == 1
    y, x = lit[0]
    assert np.allclose(img[y, x], 1 - math.exp(-1), atol=1e-6)
    assert tuple(rgba[y, x]) == (207, 207, 207, 255)
    assert (rgba[..., 3] == 255).all()
    assert img.sum() == pytest.approx(4 * (1 - math.exp(-1)), rel=1e-5)


def test_render_outputs_optional_and_bad_sizes(ctx):
    ctx.generate_galaxy(1000)
    rgba, img, _ = ctx.render(taluna.Camera(), taluna.Settings(width=16, height=8), want_8bit=False)
    assert rgba is None and img.shape == (8, 16, 4)
    with pytest.raises(ValueError):
        ctx.render(taluna.Camera(), taluna.Settings(width=0, height=8))
    with pytest.raises(ValueError, match="projection"):
        ctx.render(taluna.Camera(projection="fisheye"), taluna.Settings(width=4, height=4))


def test_save_png_and_exr_round_trip(ctx, tmp_path):
    _, img, _ = white_particle_frame(ctx)
    png = tmp_path / "frame.png"
    exr = tmp_path / "frame é.exr"
    taluna.save_png(png, img)
    taluna.save_png(tmp_path / "frame16.png", img[..., :3], sixteen_bit=True)
    taluna.save_exr(exr, img)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # Over black: the same colours, alpha 1, and the caller's array untouched.
    taluna.save_exr(tmp_path / "opaque.exr", img, opaque=True)
    halves = np.frombuffer((tmp_path / "opaque.exr").read_bytes()[331 + 8 * 7:], np.uint8)
    first_line_alpha = halves[8:8 + 2 * 9].view(np.float16)
    assert (first_line_alpha == 1.0).all()
    assert img[..., 3].min() == 0.0
    assert exr.read_bytes()[:4] == b"\x76\x2f\x31\x01"
    assert exr.stat().st_size == 331 + 16 * 7 + 8 * 9 * 7
    with pytest.raises(taluna.Error, match="cannot write PNG"):
        taluna.save_png(tmp_path / "missing-dir" / "x.png", img)
    with pytest.raises(ValueError):
        taluna.save_png(png, np.zeros((4, 4), np.float32))
    with pytest.raises(ValueError, match="floats"):
        taluna.save_exr(exr, np.zeros((4, 4, 4), np.uint8))


def test_lit_render_with_lights(ctx):
    ctx.generate_galaxy(20000, seed=2)
    cam = taluna.Camera()
    lights = [taluna.Light(kind="directional", direction=(0.3, -1, 0), color=(1, 1, 1), cast_shadows=True),
              taluna.Light(kind="point", position=(0, 30, 0), color=(3, 2, 1))]
    _, img, _ = ctx.render(cam, taluna.Settings(width=64, height=36, lighting=True, intensity=1.0), lights)
    assert img[..., :3].max() > 0
    assert np.isfinite(img).all()
    _, dark, _ = ctx.render(cam, taluna.Settings(width=64, height=36, lighting=True, density=0.0), lights)
    assert (dark[..., :3] == 0).all()  # a cloud without density deposits and shades nothing
    with pytest.raises(ValueError, match="kind"):
        ctx.render(cam, taluna.Settings(width=8, height=8, lighting=True), [taluna.Light(kind="laser")])


def _small_frame(ctx, lighting):
    ctx.generate_galaxy(5000, seed=4)
    lights = [taluna.Light(kind="directional", direction=(0.3, -1, 0))] if lighting else []
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
