"""What a Python user writes instead of the plain path: numpy projects the galaxy through the default
camera and sums each channel into the image with bincount. Prints one line per repetition and the
median in samples/s, over the projection and the sums only (not the cloud's generation).

Run with Debian's interpreter, which has numpy: /usr/bin/python3 bench/plain_numpy.py [particles] [reps]
"""
import sys
import time

import numpy as np

WIDTH, HEIGHT = 1920, 1080


def galaxy(n, seed=1):
    """The three-armed spiral of tlGenerateTestCloud, drawn from numpy's generator (same shape and size)."""
    rng = np.random.default_rng(seed)
    u = rng.random((6, n), dtype=np.float32)
    r = 100.0 * u[0] ** 1.7
    theta = np.floor(u[1] * 3.0) * 2.0943952 + r * 0.06
    m1 = np.sqrt(-2.0 * np.log(np.maximum(u[2], 1e-7)))
    m2 = np.sqrt(-2.0 * np.log(np.maximum(u[4], 1e-7)))
    sigma = r * 0.12 + 2.0
    pos = np.empty((n, 3), dtype=np.float32)
    pos[:, 0] = sigma * m1 * np.cos(6.2831855 * u[3]) + r * np.cos(theta)
    pos[:, 2] = sigma * m1 * np.sin(6.2831855 * u[3]) + r * np.sin(theta)
    pos[:, 1] = (np.exp(-0.08 * r) * 6.0 + 1.5) * m2 * np.cos(6.2831855 * u[5])
    t = np.minimum(r / 100.0, 1.0)
    col = np.empty((n, 4), dtype=np.uint8)
    col[:, 0] = 255.0 * (1.0 - 0.55 * t)
    col[:, 1] = 255.0 * (0.75 - 0.15 * t)
    col[:, 2] = 255.0 * (0.45 + 0.55 * t)
    col[:, 3] = 255
    return pos, col


def view_matrix():
    """The default camera (tlDefaultCamera): eye, target, up, vertical field of view."""
    eye = np.array([-135.0, 175.0, 275.0], dtype=np.float32)
    target = np.array([0.0, -14.0, 0.0], dtype=np.float32)
    fwd = target - eye
    fwd /= np.linalg.norm(fwd)
    right = np.cross(fwd, [0.0, 1.0, 0.0]).astype(np.float32)
    right /= np.linalg.norm(right)
    up = np.cross(right, fwd)
    rot = np.stack([right, up, -fwd])
    scale_y = 1.0 / np.tan(np.radians(36.0) / 2.0)
    return rot, -rot @ eye, scale_y / (WIDTH / HEIGHT), scale_y


def splat(pos, col, rot, offset, sx, sy):
    v = pos @ rot.T + offset
    ahead = v[:, 2] < -0.01
    v, c = v[ahead], col[ahead]
    q = -1.0 / v[:, 2]
    fx = (v[:, 0] * q * sx * 0.5 + 0.5) * WIDTH
    fy = (1.0 - (v[:, 1] * q * sy * 0.5 + 0.5)) * HEIGHT
    inside = (fx >= 0) & (fx < WIDTH) & (fy >= 0) & (fy < HEIGHT)
    pixel = fy[inside].astype(np.int64) * WIDTH + fx[inside].astype(np.int64)
    c = c[inside].astype(np.float32)
    weights = (c[:, 0] / 255.0, c[:, 1] / 255.0, c[:, 2] / 255.0, c[:, 3] / 255.0)
    return np.stack([np.bincount(pixel, weights=w, minlength=WIDTH * HEIGHT) for w in weights], axis=-1)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 4000000
    reps = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    pos, col = galaxy(n)
    rot, offset, sx, sy = view_matrix()
    rates = []
    for _ in range(reps):
        start = time.perf_counter()
        image = splat(pos, col, rot, offset, sx, sy)
        rates.append(n / (time.perf_counter() - start))
        print(f"numpy bincount: {rates[-1] / 1e6:.1f} M samples/s ({int(np.count_nonzero(image[:, 3]))} pixels lit)")
    print(f"numpy_median_samples_per_s {sorted(rates)[len(rates) // 2]:.0f}")


if __name__ == "__main__":
    main()
