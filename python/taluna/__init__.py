"""Python interface to the taluna point-cloud renderer (ctypes over the C library).

    import taluna
    with taluna.Context() as ctx:                  # GPU library, else the CPU library (with a warning)
        ctx.generate_galaxy(1_000_000, seed=1)
        rgba, image, ms = ctx.render(taluna.Camera(), taluna.Settings(width=640, height=360))
    taluna.save_png("galaxy.png", image)

Arrays go in and come out as numpy arrays; every library failure is raised as taluna.Error with the
library's own text, and bad arguments as ValueError. The libraries are looked for in $TALUNA_LIBRARY_DIR,
then in the folder `cmake --install` recorded, then on the system's library path (LD_LIBRARY_PATH).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Optional, Sequence, Tuple

import numpy as np

__all__ = [
    "Camera", "Context", "Error", "FallbackWarning", "Light", "Settings", "Viewer", "load_library", "resolve",
    "save_exr", "save_png", "serve",
    "API_VERSION", "DEFAULT_CAMERA", "DEFAULT_LIGHT", "DEFAULT_LIGHTS", "DEFAULT_SETTINGS", "LIGHT_KINDS", "MAX_LIGHTS",
]

API_VERSION = 6

# The named values of include/taluna.h: TL_PROJECTION_*, TL_LIGHTING_*, TL_LIGHT_* and TL_FALLOFF_*.
PERSPECTIVE, PANORAMA = 0, 1
PLAIN, LIT = 0, 1
POINT, SPOT, DIRECTIONAL = 0, 1, 2
# Light kinds by their TL_LIGHT_* value, named as the renderer tool names them; the library uses at most
# MAX_LIGHTS lights, and render refuses more (as the tool does) rather than drop the rest.
LIGHT_KINDS = ("point", "spot", "sun")
MAX_LIGHTS = 8
(FALLOFF_NONE, FALLOFF_INVERSE_SQUARE, FALLOFF_INVERSE_SQUARE_CLAMPED, FALLOFF_INVERSE, FALLOFF_INVERSE_CLAMPED,
 FALLOFF_LINEAR, FALLOFF_CUTOFF) = range(7)

# The defaults of include/taluna.h (tlDefaultCamera, tlDefaultSettings, tlDefaultLight), which are the
# renderer tool's: its picture of the 4,000,000-particle test galaxy. Camera, Settings and Light start
# from them. Exposure None is the tool's choice: 2 on the lit path, else 1. DEFAULT_LIGHTS are the tool's
# lights for a lit frame, which render uses when given no lights.
DEFAULT_CAMERA = dict(
    eye=(-135.0, 175.0, 275.0), target=(0.0, -14.0, 0.0), up=(0.0, 1.0, 0.0), fov_y=36.0,
    focus_distance=0.0, aperture=0.0, projection="perspective",
    lon_min=-180.0, lon_max=180.0, lat_min=-90.0, lat_max=90.0, eye_offset=0.0, convergence=0.0, nodal_offset=0.0,
    pole_mode_top=0, pole_mode_bottom=0, pole_angle_top=0.0, pole_angle_bottom=0.0,
    pole_exponent_top=1.0, pole_exponent_bottom=1.0)
DEFAULT_SETTINGS = dict(
    width=1920, height=1080, intensity=0.07, exposure=None, jitter_count=0, jitter_sigma=0.4, samples=1,
    shutter=0.0, seed=1, lighting=False, density=0.7, ambient=0.02, base_light=(0.03, 0.03, 0.05),
    anisotropy=0.35, shadow_map_size=512, shadow_slices=64, depth_slices=32)
DEFAULT_LIGHT = dict(
    kind="point", position=(0.0, 0.0, 0.0), direction=(0.0, -1.0, 0.0), color=(1.0, 1.0, 1.0),
    outer_angle=40.0, inner_angle=30.0, falloff=FALLOFF_NONE, range=0.0, inner_range=0.0, cast_shadows=False)
_ZERO_LIGHT = dict(DEFAULT_LIGHT, direction=(0.0, 0.0, 0.0), outer_angle=0.0, inner_angle=0.0)
DEFAULT_LIGHTS = (  # a light above the bulge lighting the disc from the centre out; a sky light for relief
    dict(_ZERO_LIGHT, position=(0.0, 35.0, 0.0), color=(6.0, 4.6, 3.1), falloff=FALLOFF_INVERSE_CLAMPED, range=55.0,
         cast_shadows=True),
    dict(_ZERO_LIGHT, kind="sun", direction=(0.3, -1.0, -0.2), color=(0.3, 0.35, 0.55), cast_shadows=True))


class Error(RuntimeError):
    """A failure reported by the library; str(err) is the library's text."""


class FallbackWarning(RuntimeWarning):
    """Context(backend="auto") took the CPU library; the text says why the GPU library was not used."""


# ---------------------------------------------------------------------------------------------------
# C records (layouts fixed by include/taluna.h)

class _V3(ctypes.Structure):
    _fields_ = [("x", ctypes.c_float), ("y", ctypes.c_float), ("z", ctypes.c_float)]


class _Camera(ctypes.Structure):
    _fields_ = [
        ("eye", _V3), ("target", _V3), ("up", _V3),
        ("fovY", ctypes.c_float), ("focusDistance", ctypes.c_float), ("aperture", ctypes.c_float),
        ("projection", ctypes.c_int32),
        ("lonMin", ctypes.c_float), ("lonMax", ctypes.c_float),
        ("latMin", ctypes.c_float), ("latMax", ctypes.c_float),
        ("eyeOffset", ctypes.c_float), ("convergence", ctypes.c_float), ("nodalOffset", ctypes.c_float),
        ("poleModeTop", ctypes.c_int32), ("poleModeBottom", ctypes.c_int32),
        ("poleAngleTop", ctypes.c_float), ("poleAngleBottom", ctypes.c_float),
        ("poleExponentTop", ctypes.c_float), ("poleExponentBottom", ctypes.c_float),
    ]


class _Settings(ctypes.Structure):
    _fields_ = [
        ("width", ctypes.c_int32), ("height", ctypes.c_int32),
        ("intensity", ctypes.c_float), ("exposure", ctypes.c_float),
        ("jitterCount", ctypes.c_int32), ("jitterSigma", ctypes.c_float),
        ("samples", ctypes.c_int32), ("shutter", ctypes.c_float),
        ("seed", ctypes.c_uint32), ("lightingMode", ctypes.c_int32),
        ("density", ctypes.c_float), ("ambient", ctypes.c_float),
        ("baseLight", ctypes.c_float * 3), ("anisotropy", ctypes.c_float),
        ("shadowMapSize", ctypes.c_int32), ("shadowSlices", ctypes.c_int32), ("depthSlices", ctypes.c_int32),
    ]


class _Light(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int32), ("position", ctypes.c_float * 3), ("direction", ctypes.c_float * 3),
        ("color", ctypes.c_float * 3), ("outerAngle", ctypes.c_float), ("innerAngle", ctypes.c_float),
        ("falloff", ctypes.c_int32), ("range", ctypes.c_float), ("innerRange", ctypes.c_float),
        ("castShadows", ctypes.c_int32),
    ]


assert ctypes.sizeof(_Camera) == 104 and ctypes.sizeof(_Settings) == 76 and ctypes.sizeof(_Light) == 64


# ---------------------------------------------------------------------------------------------------
# Python-side descriptions with the renderer tool's defaults

def _vec3(value, name) -> Tuple[float, float, float]:
    try:
        v = tuple(float(c) for c in value)
    except TypeError:
        raise ValueError(f"{name} must be three numbers, got {value!r}") from None
    if len(v) != 3:
        raise ValueError(f"{name} must be three numbers, got {len(v)}")
    return v  # type: ignore[return-value]


@dataclass
class Camera:
    """Perspective (projection="perspective") or equirectangular panorama camera; angles in degrees."""
    eye: Sequence[float] = DEFAULT_CAMERA["eye"]
    target: Sequence[float] = DEFAULT_CAMERA["target"]
    up: Sequence[float] = DEFAULT_CAMERA["up"]
    fov_y: float = DEFAULT_CAMERA["fov_y"]
    focus_distance: float = DEFAULT_CAMERA["focus_distance"]
    aperture: float = DEFAULT_CAMERA["aperture"]
    projection: object = DEFAULT_CAMERA["projection"]
    lon_min: float = DEFAULT_CAMERA["lon_min"]
    lon_max: float = DEFAULT_CAMERA["lon_max"]
    lat_min: float = DEFAULT_CAMERA["lat_min"]
    lat_max: float = DEFAULT_CAMERA["lat_max"]
    eye_offset: float = DEFAULT_CAMERA["eye_offset"]
    convergence: float = DEFAULT_CAMERA["convergence"]
    nodal_offset: float = DEFAULT_CAMERA["nodal_offset"]
    pole_mode_top: int = DEFAULT_CAMERA["pole_mode_top"]
    pole_mode_bottom: int = DEFAULT_CAMERA["pole_mode_bottom"]
    pole_angle_top: float = DEFAULT_CAMERA["pole_angle_top"]
    pole_angle_bottom: float = DEFAULT_CAMERA["pole_angle_bottom"]
    pole_exponent_top: float = DEFAULT_CAMERA["pole_exponent_top"]
    pole_exponent_bottom: float = DEFAULT_CAMERA["pole_exponent_bottom"]

    def _record(self) -> _Camera:
        proj = {"perspective": PERSPECTIVE, "panorama": PANORAMA}.get(self.projection, self.projection)
        if not isinstance(proj, int):
            raise ValueError(f"projection must be 'perspective', 'panorama' or an int, got {self.projection!r}")
        c = _Camera()
        c.eye = _V3(*_vec3(self.eye, "eye"))
        c.target = _V3(*_vec3(self.target, "target"))
        c.up = _V3(*_vec3(self.up, "up"))
        c.fovY, c.focusDistance, c.aperture = self.fov_y, self.focus_distance, self.aperture
        c.projection = proj
        c.lonMin, c.lonMax, c.latMin, c.latMax = self.lon_min, self.lon_max, self.lat_min, self.lat_max
        c.eyeOffset, c.convergence, c.nodalOffset = self.eye_offset, self.convergence, self.nodal_offset
        c.poleModeTop, c.poleModeBottom = int(self.pole_mode_top), int(self.pole_mode_bottom)
        c.poleAngleTop, c.poleAngleBottom = self.pole_angle_top, self.pole_angle_bottom
        c.poleExponentTop, c.poleExponentBottom = self.pole_exponent_top, self.pole_exponent_bottom
        return c


@dataclass
class Settings:
    """Image size, brightness and sampling; lighting=True selects the volumetric lighting path.
    The defaults are the renderer tool's: a good picture of the 4,000,000-particle test galaxy, and
    exposure None as the tool chooses it (2 with lighting, else 1)."""
    width: int = DEFAULT_SETTINGS["width"]
    height: int = DEFAULT_SETTINGS["height"]
    intensity: float = DEFAULT_SETTINGS["intensity"]
    exposure: Optional[float] = DEFAULT_SETTINGS["exposure"]
    jitter_count: int = DEFAULT_SETTINGS["jitter_count"]
    jitter_sigma: float = DEFAULT_SETTINGS["jitter_sigma"]
    samples: int = DEFAULT_SETTINGS["samples"]
    shutter: float = DEFAULT_SETTINGS["shutter"]
    seed: int = DEFAULT_SETTINGS["seed"]
    lighting: bool = DEFAULT_SETTINGS["lighting"]
    density: float = DEFAULT_SETTINGS["density"]
    ambient: float = DEFAULT_SETTINGS["ambient"]
    base_light: Sequence[float] = DEFAULT_SETTINGS["base_light"]
    anisotropy: float = DEFAULT_SETTINGS["anisotropy"]
    shadow_map_size: int = DEFAULT_SETTINGS["shadow_map_size"]
    shadow_slices: int = DEFAULT_SETTINGS["shadow_slices"]
    depth_slices: int = DEFAULT_SETTINGS["depth_slices"]

    def _record(self) -> _Settings:
        s = _Settings()
        s.width, s.height = int(self.width), int(self.height)
        s.intensity = self.intensity
        s.exposure = (2.0 if self.lighting else 1.0) if self.exposure is None else self.exposure
        s.jitterCount, s.jitterSigma = int(self.jitter_count), self.jitter_sigma
        s.samples, s.shutter = int(self.samples), self.shutter
        s.seed = int(self.seed) & 0xFFFFFFFF
        s.lightingMode = LIT if self.lighting else PLAIN
        s.density, s.ambient = self.density, self.ambient
        s.baseLight[:] = _vec3(self.base_light, "base_light")
        s.anisotropy = self.anisotropy
        s.shadowMapSize, s.shadowSlices, s.depthSlices = (
            int(self.shadow_map_size), int(self.shadow_slices), int(self.depth_slices))
        return s


@dataclass
class Light:
    """A light of the lighting path: kind "point", "spot" or "sun" (directional), as in the renderer tool;
    colour and range as its --light options."""
    kind: object = DEFAULT_LIGHT["kind"]
    position: Sequence[float] = DEFAULT_LIGHT["position"]
    direction: Sequence[float] = DEFAULT_LIGHT["direction"]
    color: Sequence[float] = DEFAULT_LIGHT["color"]
    outer_angle: float = DEFAULT_LIGHT["outer_angle"]
    inner_angle: float = DEFAULT_LIGHT["inner_angle"]
    falloff: int = DEFAULT_LIGHT["falloff"]
    range: float = DEFAULT_LIGHT["range"]
    inner_range: float = DEFAULT_LIGHT["inner_range"]
    cast_shadows: bool = DEFAULT_LIGHT["cast_shadows"]

    def _record(self) -> _Light:
        kind = LIGHT_KINDS.index(self.kind) if self.kind in LIGHT_KINDS else self.kind
        if not isinstance(kind, int):
            raise ValueError(f"kind must be one of {', '.join(LIGHT_KINDS)} or an int, got {self.kind!r}")
        rec = _Light()
        rec.kind = kind
        rec.position[:] = _vec3(self.position, "position")
        rec.direction[:] = _vec3(self.direction, "direction")
        rec.color[:] = _vec3(self.color, "color")
        rec.outerAngle, rec.innerAngle = self.outer_angle, self.inner_angle
        rec.falloff, rec.range, rec.innerRange = int(self.falloff), self.range, self.inner_range
        rec.castShadows = 1 if self.cast_shadows else 0
        return rec


# ---------------------------------------------------------------------------------------------------
# Loading the libraries

_LIB_NAMES = {"cuda": "libtaluna.so", "cpu": "libtaluna_cpu.so"}
_loaded: dict = {}


def _search_dirs() -> Iterable[Path]:
    env = os.environ.get("TALUNA_LIBRARY_DIR")
    if env:
        yield Path(env)
    try:  # written by `cmake --install`: the installed libraries' folder
        from . import _paths
        yield Path(_paths.LIBRARY_DIR)
    except ImportError:
        pass
    here = Path(__file__).resolve().parent
    yield here  # libraries copied next to the package
    yield here.parent.parent / "build" / "lib"  # the source tree's build folder


def _candidates(name: str) -> Iterable[str]:
    yield from (str(d / name) for d in _search_dirs() if (d / name).exists())
    yield name  # the system's library path: LD_LIBRARY_PATH, ld.so.cache
    versioned = ctypes.util.find_library(name[3:-3])  # where only the versioned file is installed
    if versioned:
        yield versioned


def _load_first(candidates, what: str) -> ctypes.CDLL:
    """The first of the candidate paths that loads; Error naming `what` with every reason otherwise."""
    errors = []
    for candidate in candidates:
        try:
            return ctypes.CDLL(candidate)
        except OSError as exc:
            errors.append(str(exc))
    raise Error(f"cannot load {what}: " + "; ".join(errors))


def load_library(backend: str = "cpu", path: Optional[str] = None) -> ctypes.CDLL:
    """Loads (once) the library of a backend ("cuda" or "cpu"), or the library at `path`. Without a path
    the library is looked for in $TALUNA_LIBRARY_DIR, the folder `cmake --install` recorded, the package's
    folder and the source tree's build/lib, then by name on the system's library path."""
    key = path or backend
    if key in _loaded:
        return _loaded[key]
    if path is None:
        if backend not in _LIB_NAMES:
            raise ValueError(f"backend must be 'cuda' or 'cpu', got {backend!r}")
        candidates = _candidates(_LIB_NAMES[backend])
    else:
        candidates = [path]
    lib = _load_first(candidates, f"the {key} library")
    _declare(lib)
    if lib.tlApiVersion() != API_VERSION:
        raise Error(f"{candidate}: interface version {lib.tlApiVersion()}, expected {API_VERSION}")
    _loaded[key] = lib
    return lib


def _declare(lib: ctypes.CDLL) -> None:
    p, u64, i32, f32p = ctypes.c_void_p, ctypes.c_uint64, ctypes.c_int, ctypes.POINTER(ctypes.c_float)
    sigs = {
        "tlApiVersion": (i32, []),
        "tlCreate": (p, [i32]),
        "tlDestroy": (None, [p]),
        "tlLastError": (ctypes.c_char_p, [p]),
        "tlDeviceInfo": (i32, [p, ctypes.c_char_p, i32]),
        "tlReserve": (i32, [p, u64, i32]),
        "tlUpload": (i32, [p, p, p, p, u64, u64]),
        "tlSetCount": (i32, [p, u64]),
        "tlGetCount": (u64, [p]),
        "tlGenerateTestCloud": (i32, [p, u64, ctypes.c_uint32, i32]),
        "tlRender": (i32, [p, ctypes.POINTER(_Camera), ctypes.POINTER(_Settings), ctypes.POINTER(_Light), i32,
                           p, p, f32p]),
        "tlSavePNG": (i32, [ctypes.c_char_p, i32, i32, p, i32]),
        "tlSaveEXR": (i32, [ctypes.c_char_p, i32, i32, p]),
    }
    for name, (res, args) in sigs.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = res, args
    # Beyond the thirteen: absent from libraries built before them (the methods that need one say so).
    optional = {
        "tlAccumulate": (i32, [p, ctypes.POINTER(_Camera), ctypes.POINTER(_Settings), u64, p]),
        "tlResolve": (i32, [i32, i32, ctypes.c_float, p, p, p]),
        "tlGenerateTestCloudRange": (i32, [p, u64, u64, ctypes.c_uint32, i32]),
        "tlDeviceMemory": (i32, [p, ctypes.POINTER(u64), ctypes.POINTER(u64)]),
    }
    for name, (res, args) in optional.items():
        fn = getattr(lib, name, None)
        if fn is not None:
            fn.restype, fn.argtypes = res, args


def _function(lib: ctypes.CDLL, name: str):
    fn = getattr(lib, name, None)
    if fn is None:
        raise Error(f"{lib._name}: no {name} (a library built before it)")
    return fn


# ---------------------------------------------------------------------------------------------------
# Array conversion

def _rows(array, width: int, dtype, name: str) -> np.ndarray:
    try:
        a = np.asarray(array)
    except Exception as exc:  # noqa: BLE001 - any failure to convert is the caller's input
        raise ValueError(f"{name}: not convertible to an array ({exc})") from None
    if a.ndim == 1 and a.size % width == 0 and a.size > 0:
        a = a.reshape(-1, width)
    if a.ndim != 2 or a.shape[1] != width:
        raise ValueError(f"{name} must have shape (n, {width}), got {a.shape}")
    if not (np.issubdtype(a.dtype, np.number) or a.dtype == np.bool_):
        raise ValueError(f"{name} must be numeric, got dtype {a.dtype}")
    return np.ascontiguousarray(a, dtype=dtype)


def _colors(colors, n: int) -> np.ndarray:
    try:
        a = np.asarray(colors)
    except Exception as exc:  # noqa: BLE001
        raise ValueError(f"colors: not convertible to an array ({exc})") from None
    if a.ndim != 2 or a.shape[1] not in (3, 4) or a.shape[0] != n:
        raise ValueError(f"colors must have shape ({n}, 3) or ({n}, 4), got {a.shape}")
    if np.issubdtype(a.dtype, np.floating):
        if not np.all(np.isfinite(a)):
            raise ValueError("colors must be finite")
        a = np.clip(np.rint(a * 255.0), 0, 255)
    elif np.issubdtype(a.dtype, np.integer):
        if a.size and (a.min() < 0 or a.max() > 255):
            raise ValueError("integer colors must lie in 0..255")
    else:
        raise ValueError(f"colors must be numeric, got dtype {a.dtype}")
    a = a.astype(np.uint8)
    if a.shape[1] == 3:
        a = np.concatenate([a, np.full((n, 1), 255, np.uint8)], axis=1)
    return np.ascontiguousarray(a)


# The linear value of each byte of an 8-bit image (gamma 2.2, the encoding of render's rgba8 and of the
# PNG writer, which turns these values back into the same bytes).
_BYTE_TO_LINEAR = ((np.arange(256) / 255.0) ** 2.2).astype(np.float32)


def _image(image) -> np.ndarray:
    # To the writers' input: linear premultiplied float RGBA.
    a = np.asarray(image)
    if a.ndim != 3 or a.shape[2] not in (3, 4) or a.shape[0] < 1 or a.shape[1] < 1:
        raise ValueError(f"image must have shape (height, width, 3 or 4), got {a.shape}")
    if a.dtype == np.uint8:  # gamma-encoded bytes with straight alpha
        alpha = a[..., 3:].astype(np.float32) / 255 if a.shape[2] == 4 else np.ones(a.shape[:2] + (1,), np.float32)
        return np.ascontiguousarray(np.concatenate([_BYTE_TO_LINEAR[a[..., :3]] * alpha, alpha], axis=2))
    if not np.issubdtype(a.dtype, np.floating):
        raise ValueError(f"image must hold linear premultiplied floats or be render's uint8 image, got dtype {a.dtype}")
    a = a.astype(np.float32, copy=False)
    if a.shape[2] == 3:
        a = np.concatenate([a, np.ones(a.shape[:2] + (1,), np.float32)], axis=2)
    return np.ascontiguousarray(a)


def _path(path) -> bytes:
    return os.fsencode(os.fspath(path)) if not isinstance(path, bytes) else path


# ---------------------------------------------------------------------------------------------------
# The context

class _Releasing:
    """A `with` block, or the garbage collector, calls `_release` (``close`` or ``stop``) at the end."""

    def _release(self) -> None:
        raise NotImplementedError

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self._release()

    def __del__(self) -> None:
        try:
            self._release()
        except Exception:  # noqa: BLE001 - never raise from a finaliser
            pass


class Context(_Releasing):
    """A rendering context on one device. backend: "auto" (GPU library, falling back to the CPU
    library when it cannot be loaded or finds no device, with a FallbackWarning saying why; the reason
    stays in `fallback_reason`), "cuda" or "cpu". `library` names a library file to load instead."""

    def __init__(self, device: int = 0, backend: str = "auto", library: Optional[str] = None):
        self._ctx = None
        self.fallback_reason: Optional[str] = None
        if backend not in ("auto", "cuda", "cpu"):
            raise ValueError(f"backend must be 'auto', 'cuda' or 'cpu', got {backend!r}")
        order = ["cuda", "cpu"] if backend == "auto" else [backend]
        if library is not None:
            order = [backend if backend != "auto" else "custom"]
        reasons = []
        for which in order:
            try:
                lib = load_library(which, library) if library else load_library(which)
            except Error as exc:
                reasons.append(str(exc))
                continue
            ctx = lib.tlCreate(int(device))
            if not ctx:
                raise MemoryError("tlCreate: out of host memory")
            text = lib.tlLastError(ctx).decode("utf-8", "replace")
            if text:
                lib.tlDestroy(ctx)
                reasons.append(f"{which}: {text}")
                continue
            self._lib, self._ctx, self.backend, self.device = lib, ctx, which, int(device)
            if reasons:
                self.fallback_reason = "; ".join(reasons)
                warnings.warn(f"taluna: rendering on the CPU library: {self.fallback_reason}", FallbackWarning,
                              stacklevel=2)
            return
        raise Error("no usable backend: " + "; ".join(reasons))

    # lifecycle
    def close(self) -> None:
        """Releases the context and everything it holds (stopping its viewer first); later calls raise
        Error("context is closed")."""
        viewer = getattr(self, "_viewer", None)
        if viewer is not None:
            viewer.stop()
        if self._ctx:
            self._lib.tlDestroy(self._ctx)
            self._ctx = None

    _release = close

    def _handle(self):
        if not self._ctx:
            raise Error("context is closed")
        return self._ctx

    def _check(self, result: int) -> None:
        if result != 0:
            raise Error(self.last_error)

    @property
    def last_error(self) -> str:
        """The text of the library's most recent failure on this context ("" when none)."""
        return self._lib.tlLastError(self._ctx).decode("utf-8", "replace") if self._ctx else "no context"

    @property
    def device_info(self) -> str:
        """"name | CC x.y | VRAM free a / b GB" of the context's device."""
        buf = ctypes.create_string_buffer(512)
        self._check(self._lib.tlDeviceInfo(self._handle(), buf, len(buf)))
        return buf.value.decode("utf-8", "replace")

    # particle store
    @property
    def count(self) -> int:
        """The number of particles rendered."""
        return int(self._lib.tlGetCount(self._handle()))

    def reserve(self, n: int, with_velocity: bool = False) -> None:
        """Makes room for n particles (with velocities: for motion blur). Growing the store discards the
        particles it holds; a store already large enough is kept as it is."""
        self._check(self._lib.tlReserve(self._handle(), _count(n), 1 if with_velocity else 0))

    def set_count(self, n: int) -> None:
        """Renders the first n particles of the store (n at most its capacity)."""
        self._check(self._lib.tlSetCount(self._handle(), _count(n)))

    def upload(self, positions, colors=None, velocities=None, offset: Optional[int] = None,
               reserve: bool = True) -> None:
        """Uploads n particles: positions (n, 3) floats, optional colors (n, 3|4) as bytes 0..255 or
        floats 0..1 (default white), optional velocities (n, 3) (default none: no motion blur).

        Without `offset` the particles replace the cloud: the count becomes n, and with reserve=True the
        store is grown first when it is too small. With `offset` (at most `count`) they overwrite the
        particles from there on in place, every other particle is kept, and the count grows only when they
        reach past its end; the store is never grown then (that would discard the rest): reserve the
        total first, e.g. reserve(total) and upload(first_piece), then upload(piece, offset=k)."""
        pos = _rows(positions, 3, np.float32, "positions")
        n = pos.shape[0]
        col = _colors(colors, n) if colors is not None else None
        vel = _rows(velocities, 3, np.float32, "velocities") if velocities is not None else None
        if vel is not None and vel.shape[0] != n:
            raise ValueError(f"velocities must have {n} rows like positions, got {vel.shape[0]}")
        ptr = lambda a: a.ctypes.data if a is not None else None  # noqa: E731
        if offset is None:
            if reserve:
                self.reserve(n, with_velocity=vel is not None)
            self._check(self._lib.tlUpload(self._handle(), ptr(pos), ptr(col), ptr(vel), n, 0))
            self.set_count(n)  # the library keeps a larger count: the particles past n are the old cloud's
            return
        offset, count = _count(offset), self.count
        if offset > count:  # the particles between the end and offset would be whatever the store held
            raise ValueError(f"offset {offset} lies past the end of the cloud ({count} particles)")
        self._check(self._lib.tlUpload(self._handle(), ptr(pos), ptr(col), ptr(vel), n, offset))

    def generate_galaxy(self, n: int, seed: int = 1, with_velocity: bool = False, first: int = 0) -> None:
        """Replaces the cloud with the procedural test galaxy of n particles (seed 1: the renderer
        tool's galaxy). With `first`, particles first .. first + n - 1 of the galaxy: the part of a
        galaxy split over several contexts or processes (render it with accumulate(first_index=first))."""
        seed, velocity = int(seed) & 0xFFFFFFFF, 1 if with_velocity else 0
        if first:
            fn = _function(self._lib, "tlGenerateTestCloudRange")
            self._check(fn(self._handle(), _count(first), _count(n), seed, velocity))
        else:
            self._check(self._lib.tlGenerateTestCloud(self._handle(), _count(n), seed, velocity))

    @property
    def device_memory(self) -> Tuple[int, int]:
        """(free, total) bytes of the context's device; reserve keeps 512 MiB of the free memory."""
        free, total = ctypes.c_uint64(0), ctypes.c_uint64(0)
        fn = _function(self._lib, "tlDeviceMemory")
        self._check(fn(self._handle(), ctypes.byref(free), ctypes.byref(total)))
        return int(free.value), int(total.value)

    # rendering
    def render(self, camera: Optional[Camera] = None, settings: Optional[Settings] = None,
               lights: Optional[Sequence[Light]] = None, want_8bit: bool = True, want_float: bool = True):
        """Renders one frame with at most MAX_LIGHTS lights (None: DEFAULT_LIGHTS, the tool's; lights are
        used only with Settings.lighting). Returns (rgba8 or None, float image or None,
        GPU milliseconds); images are (height, width, 4) arrays, row 0 at the top: rgba8 is uint8,
        gamma-encoded and opaque (composited over black), the float image linear and premultiplied."""
        camera = camera if camera is not None else Camera()
        settings = settings if settings is not None else Settings()
        cam, rs = camera._record(), settings._record()
        if rs.width < 1 or rs.height < 1:
            raise ValueError(f"image size must be at least 1 x 1, got {rs.width} x {rs.height}")
        light_list = [Light(**d) for d in DEFAULT_LIGHTS] if lights is None else list(lights)
        if len(light_list) > MAX_LIGHTS:
            raise ValueError(f"lights: at most {MAX_LIGHTS} lights, got {len(light_list)}")
        arr = (_Light * max(len(light_list), 1))(*[l._record() for l in light_list])
        rgba = np.empty((rs.height, rs.width, 4), np.uint8) if want_8bit else None
        img = np.empty((rs.height, rs.width, 4), np.float32) if want_float else None
        ms = ctypes.c_float(0.0)
        self._check(self._lib.tlRender(self._handle(), ctypes.byref(cam), ctypes.byref(rs), arr, len(light_list),
                                       rgba.ctypes.data if rgba is not None else None,
                                       img.ctypes.data if img is not None else None, ctypes.byref(ms)))
        return rgba, img, float(ms.value)


    def accumulate(self, camera: Optional[Camera] = None, settings: Optional[Settings] = None,
                   first_index: int = 0, sums: Optional[np.ndarray] = None) -> np.ndarray:
        """Adds the plain path's sums of this context's cloud (four floats per pixel, before the tone curve)
        into `sums`, a (height, width, 4) float32 array (None: a new zeroed one), and returns it. The
        cloud's first particle is particle `first_index` of the whole cloud: parts rendered on several
        contexts, processes or machines, each from its own first index, add up to the whole cloud's sums,
        which resolve() turns into the frame. The lit path renders on one device only: use render()."""
        camera = camera if camera is not None else Camera()
        settings = settings if settings is not None else Settings()
        cam, rs = camera._record(), settings._record()
        if rs.width < 1 or rs.height < 1:
            raise ValueError(f"image size must be at least 1 x 1, got {rs.width} x {rs.height}")
        if sums is None:
            sums = np.zeros((rs.height, rs.width, 4), np.float32)
        elif (not isinstance(sums, np.ndarray) or sums.shape != (rs.height, rs.width, 4) or sums.dtype != np.float32
              or not sums.flags.c_contiguous or not sums.flags.writeable):
            raise ValueError(f"sums must be a writable C-contiguous float32 array of shape "
                             f"({rs.height}, {rs.width}, 4)")
        fn = _function(self._lib, "tlAccumulate")
        self._check(fn(self._handle(), ctypes.byref(cam), ctypes.byref(rs), _count(first_index), sums.ctypes.data))
        return sums


def resolve(sums, exposure=1.0, want_8bit: bool = True, want_float: bool = True):
    """The frame of accumulated sums (height, width, 4): the tone curve of `exposure` (a number, or the
    Settings the sums were rendered with), exactly as render applies it. Returns (rgba8 or None,
    float image or None) like render."""
    if isinstance(exposure, Settings):
        exposure = exposure._record().exposure
    a = np.asarray(sums)
    if a.ndim != 3 or a.shape[2] != 4 or a.shape[0] < 1 or a.shape[1] < 1:
        raise ValueError(f"sums must have shape (height, width, 4), got {a.shape}")
    a = np.ascontiguousarray(a, dtype=np.float32)
    h, w = a.shape[:2]
    rgba = np.empty((h, w, 4), np.uint8) if want_8bit else None
    img = np.empty((h, w, 4), np.float32) if want_float else None
    fn = _function(_writer_library(), "tlResolve")
    if fn(w, h, float(exposure), a.ctypes.data, rgba.ctypes.data if rgba is not None else None,
          img.ctypes.data if img is not None else None):
        raise ValueError(f"cannot resolve sums of {w} x {h} pixels")
    return rgba, img


def _count(n) -> int:
    n = int(n)
    if n < 0 or n >= 1 << 64:
        raise ValueError(f"count must lie in 0 .. 2^64 - 1, got {n}")
    return n


# ---------------------------------------------------------------------------------------------------
# Files (host only: any loaded library serves)

def _writer_library() -> ctypes.CDLL:
    if _loaded:
        return next(iter(_loaded.values()))
    return load_library("cpu")


def _over_black(a: np.ndarray, opaque: bool) -> np.ndarray:
    # The image is premultiplied: over black, only its alpha changes.
    if opaque:
        a = a.copy()
        a[..., 3] = 1.0
    return a


def save_png(path, image, sixteen_bit: bool = False, opaque: bool = False) -> None:
    """Writes an image (height, width, 3|4) as an 8- or 16-bit PNG: either of render's images. A float
    image is linear and premultiplied; a uint8 image is gamma-encoded bytes with straight alpha (render's
    rgba8), written byte for byte (a pixel of alpha 0 is written as 0, 0, 0, 0).
    opaque=True composites it over black (a rendered frame is transparent where no particle is)."""
    a = _over_black(_image(image), opaque)
    if _writer_library().tlSavePNG(_path(path), a.shape[1], a.shape[0], a.ctypes.data, 1 if sixteen_bit else 0):
        raise Error(f"cannot write PNG file {os.fspath(path)!s}")


def save_exr(path, image, opaque: bool = False) -> None:
    """Writes an image (height, width, 3|4) as a half-float OpenEXR file, linear and premultiplied
    (opaque: as save_png). A uint8 image (render's rgba8) is decoded to the linear values its bytes stand
    for: 8-bit steps, and nothing above 1; write render's float image to keep the full range."""
    a = _over_black(_image(image), opaque)
    if _writer_library().tlSaveEXR(_path(path), a.shape[1], a.shape[0], a.ctypes.data):
        raise Error(f"cannot write EXR file {os.fspath(path)!s}")


# ---------------------------------------------------------------------------------------------------
# The live viewer (libtaluna_viewer.so: the server of taluna-render --serve)

_viewer_lib: Optional[ctypes.CDLL] = None


def _viewer_library() -> ctypes.CDLL:
    global _viewer_lib
    if _viewer_lib is None:
        lib = _load_first(_candidates("libtaluna_viewer.so"), "the viewer library (a build without cpp-httplib?)")
        p = ctypes.c_void_p
        lib.tlvStart.restype = p
        lib.tlvStart.argtypes = [ctypes.c_char_p, p, ctypes.POINTER(_Camera), ctypes.POINTER(_Settings),
                                 ctypes.POINTER(_Light), ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                                 ctypes.c_char_p, ctypes.c_int]
        lib.tlvUrl.restype, lib.tlvUrl.argtypes = ctypes.c_char_p, [p]
        lib.tlvStop.restype, lib.tlvStop.argtypes = None, [p]
        _viewer_lib = lib
    return _viewer_lib


class Viewer(_Releasing):
    """A live viewer of a context's cloud in the browser, served from this process (see serve). `url` holds
    the address with its token; stop() (or leaving a with block) ends it."""

    def __init__(self, lib: ctypes.CDLL, handle: int, ctx: "Context"):
        self._lib, self._handle, self._ctx = lib, handle, ctx
        self.url: str = lib.tlvUrl(handle).decode()

    def stop(self) -> None:
        """Stops the server after the requests in progress; the context may be used again afterwards."""
        if self._handle:
            self._lib.tlvStop(self._handle)
            self._handle = None
            self._ctx._viewer = None

    _release = stop

    def __repr__(self) -> str:
        return f"Viewer({self.url!r})" if self._handle else "Viewer(stopped)"


def serve(ctx: Context, camera: Optional[Camera] = None, settings: Optional[Settings] = None,
          lights: Optional[Sequence[Light]] = None, port: int = 8765, bind: str = "127.0.0.1",
          outputs: Sequence[str] = ("view.png", "view.exr"), block: bool = True) -> Viewer:
    """Serves the live viewer of the renderer tool (taluna-render --serve) on ctx's cloud, starting from
    camera, settings and lights (None: the defaults, as render takes them); port 0 takes any free port.
    The page's save button writes `outputs` at the settings' size, and a scene file beside the first.
    The viewer renders on ctx from its own threads: leave ctx alone until it stops.
    block=True (a script) prints the URL and serves until Ctrl-C; block=False (a notebook) returns the running
    Viewer at once. Bad settings raise Error with the tool's message for the scene key."""
    if getattr(ctx, "_viewer", None) is not None:
        raise Error("this context is already being served: stop its viewer first")
    camera = camera if camera is not None else Camera()
    settings = settings if settings is not None else Settings()
    light_list = [Light(**d) for d in DEFAULT_LIGHTS] if lights is None else list(lights)
    if len(light_list) > MAX_LIGHTS:
        raise ValueError(f"lights: at most {MAX_LIGHTS} lights, got {len(light_list)}")
    cam, rs = camera._record(), settings._record()
    arr = (_Light * max(len(light_list), 1))(*[l._record() for l in light_list])
    lib = _viewer_library()
    error = ctypes.create_string_buffer(1024)
    handle = lib.tlvStart(ctx._lib._name.encode(), ctx._handle(), ctypes.byref(cam), ctypes.byref(rs), arr,
                          len(light_list), bind.encode(), int(port), "\n".join(map(os.fspath, outputs)).encode(),
                          error, len(error))
    if not handle:
        raise Error(error.value.decode("utf-8", "replace"))
    viewer = Viewer(lib, handle, ctx)
    ctx._viewer = viewer
    if not block:
        return viewer
    print(f"viewer: {viewer.url}", flush=True)
    try:
        while True:
            time.sleep(0.5)
    except KeyboardInterrupt:
        pass
    finally:
        viewer.stop()
    return viewer

