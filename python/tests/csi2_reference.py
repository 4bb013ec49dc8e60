"""An unpacker for CSI-2 payload written apart from the module's, so that the
tests compare two readings of the layout: RAW8, packed RAW10 (four high bytes,
then the four 2-bit low parts, sample 0 lowest), RAW16 little-endian."""

import numpy as np


def unpack(packed, width, bits):
    rows = np.asarray(packed, dtype=np.uint8)
    if bits == 8:
        return rows[:, :width].astype(np.uint16)
    if bits == 16:
        return rows[:, : 2 * width].copy().view("<u2").astype(np.uint16)
    out = np.zeros((rows.shape[0], width), dtype=np.uint16)
    for x in range(width):
        group = x // 4 * 5
        in_group = min(4, width - x // 4 * 4)
        low = (rows[:, group + in_group] >> (2 * (x % 4))) & 3
        out[:, x] = (rows[:, group + x % 4].astype(np.uint16) << 2) | low
    return out
