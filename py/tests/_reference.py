"""Plain float32 reference of the distances, one rounded operation at a time."""

import numpy as np

f32 = np.float32


def dot(a, b):
    a = np.asarray(a, dtype=np.float32)
    b = np.asarray(b, dtype=np.float32)
    total = f32(0.0)
    blocks = len(a) // 16
    for j in range(blocks):
        s = a[16 * j] * b[16 * j]
        for i in range(1, 16):
            s = f32(s + a[16 * j + i] * b[16 * j + i])
        total = f32(total + s)
    for i in range(16 * blocks, len(a)):
        total = f32(total + a[i] * b[i])
    return total


def euclidean(q, v):
    q = np.asarray(q, dtype=np.float32)
    v = np.asarray(v, dtype=np.float32)
    diff = [f32(x - y) for x, y in zip(q, v)]
    return np.sqrt(dot(diff, diff))


def cosine(q, v):
    d = dot(q, v)
    p = f32(np.sqrt(dot(q, q)) * np.sqrt(dot(v, v)))
    if p == 0.0:
        return f32(1.0)
    return f32(f32(1.0) - f32(d / p))


def negative_dot(q, v):
    return f32(-dot(q, v))


DISTANCES = {"euclidean": euclidean, "cosine": cosine, "dot": negative_dot}


def bits(values):
    """The float32 bit patterns of `values`, for exact comparison."""
    return np.asarray(values, dtype=np.float32).view(np.uint32).tolist()
