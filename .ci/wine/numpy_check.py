"""CI only: NumPy under Wine computes what it computes on Linux.

    python numpy_check.py --save ref.npz      on Linux: write the results
    python numpy_check.py --compare ref.npz   on Windows: compare with them

Covers what the module relies on (plain and structured arrays, frombuffer)
and what the filled-in complex functions serve (complex ufuncs, linalg).
Integer, byte and structured results must be equal; floating ones close
(the two C runtimes' math functions may differ in the last bits).
"""

from __future__ import annotations

import argparse
import sys

import numpy as np


def results() -> dict[str, np.ndarray]:
    out: dict[str, np.ndarray] = {}
    a = np.arange(-12, 12, dtype=np.int64).reshape(4, 6)
    out["int_ops"] = np.concatenate([a.sum(axis=0), a.cumsum(), np.sort(a * 7 % 5, axis=None), a.T.ravel()])
    tick = np.dtype([("time", "<i8"), ("bid", "<f8"), ("ask", "<f8"), ("flags", "<u4"), ("name", "S6")])
    raw = np.zeros(5, tick)
    raw["time"] = 1_700_000_000_000 + np.arange(5) * 250
    raw["bid"] = 1.08 + np.arange(5) * 1e-5
    raw["ask"] = raw["bid"] + 2e-5
    raw["flags"] = [2, 4, 6, 2, 134]
    raw["name"] = [b"EURUSD", b"GBPUSD", b"USDJPY", b"X", b""]
    back = np.frombuffer(raw.tobytes(), dtype=tick)
    out["structured"] = np.frombuffer(back.tobytes(), dtype=np.uint8)
    out["structured_fields"] = np.array([back["time"].sum(), back["flags"].sum(), tick.itemsize, tick["name"].itemsize])
    out["frombuffer"] = np.frombuffer(bytes(range(64)), dtype="<u4", count=12, offset=8)
    m = np.fromfunction(lambda i, j: 1.0 / (i + j + 1) + (i == j) * 3.0, (6, 6))
    out["linalg"] = np.concatenate([np.linalg.solve(m, np.arange(6.0)), np.linalg.inv(m).ravel(),
                                    np.sort(np.linalg.eigvalsh(m)), np.linalg.svd(m, compute_uv=False),
                                    [np.linalg.det(m)]])
    out["linalg_complex"] = np.sort_complex(np.linalg.eigvals(m + 1j * m.T[::-1]))
    for dtype in (np.complex64, np.complex128):
        re, im = np.meshgrid(np.linspace(-2.5, 2.5, 11), np.linspace(-1.75, 1.75, 8))
        z = (re + 1j * im).astype(dtype).ravel()
        name = np.dtype(dtype).name
        for f in (np.abs, np.angle, np.real, np.imag, np.exp, np.log, np.log10, np.sqrt, np.sin, np.cos, np.tan,
                  np.sinh, np.cosh, np.tanh, np.arcsin, np.arccos, np.arctan, np.arcsinh, np.arccosh, np.arctanh,
                  np.reciprocal, np.conjugate, np.square):
            out[f"{name}_{f.__name__}"] = f(z)
        out[f"{name}_power"] = np.power(z, z[::-1] / 4)
        out[f"{name}_mul_div"] = np.concatenate([z * z[::-1], z / (z[::-1] + 3)])
    return out


def compare(reference: dict[str, np.ndarray]) -> int:
    got = results()
    problems = []
    worst = {"complex64": 0.0, "complex128": 0.0, "float64": 0.0}
    for key, want in reference.items():
        have = got.get(key)
        if have is None or have.dtype != want.dtype or have.shape != want.shape:
            problems.append(f"{key}: {None if have is None else (have.dtype, have.shape)} != {(want.dtype, want.shape)}")
            continue
        if want.dtype.kind not in "fc":
            if not np.array_equal(have, want):
                problems.append(f"{key}: differs")
            continue
        finite = np.isfinite(want)
        if not np.array_equal(finite, np.isfinite(have)):
            problems.append(f"{key}: finite in one, not in the other")
            continue
        scale = np.maximum(np.abs(want[finite]), 1.0)
        diff = float(np.max(np.abs(have[finite] - want[finite]) / scale, initial=0.0))
        kind = "complex64" if want.dtype in (np.complex64, np.float32) else \
            "complex128" if want.dtype == np.complex128 else "float64"
        worst[kind] = max(worst[kind], diff)
        limit = 1e-5 if kind == "complex64" else 1e-12
        if diff > limit:
            problems.append(f"{key}: relative difference {diff:.2e} > {limit:.0e}")
    print(f"numpy {np.__version__}: {len(reference)} results compared; largest relative difference "
          + ", ".join(f"{k} {v:.1e}" for k, v in worst.items()))
    for p in problems:
        print(f"!! {p}")
    return 1 if problems else 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = ap.add_mutually_exclusive_group(required=True)
    group.add_argument("--save", metavar="NPZ")
    group.add_argument("--compare", metavar="NPZ")
    args = ap.parse_args()
    if args.save:
        np.savez(args.save, **results())
        return 0
    with np.load(args.compare) as reference:
        return compare(dict(reference))


if __name__ == "__main__":
    sys.exit(main())
