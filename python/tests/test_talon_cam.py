"""talon-cam's DNG and metadata files, read back with readers that are not
ours (tifffile, LibRaw's raw-identify, exiftool) and the JSON parser."""

import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest
import tifffile

from csi2_reference import unpack as reference_unpack

TALON_CAM = os.environ["TALON_CAM"]


def talon_cam(args, cwd, env=None):
    run_env = dict(os.environ, PRISM_SIM_FPS="1000", **(env or {}))
    return subprocess.run([TALON_CAM] + args, cwd=cwd, env=run_env, capture_output=True,
                          text=True, timeout=120)


# Catches DNG samples that differ from the raw payload of the same frame (bit
# layout, row padding), a wrong CFA or white level, and files that LibRaw or
# exiftool reject. LibRaw reads frames of at least 22x22 pixels.
@pytest.mark.parametrize("cfa,pattern", [("RGGB", [0, 1, 1, 2]), ("gbrg", [1, 2, 0, 1])])
def test_dng_equals_the_unpacked_payload(tmp_path, cfa, pattern):
    width, height, stride = 64, 32, 128
    result = talon_cam(["--stream", "0x2B,%d,%d,10,1" % (width, height), "--frames", "3",
                        "--output", "f-#.raw", "--dng", "f-#.dng", "--cfa", cfa], tmp_path)
    assert result.returncode == 0, result.stderr
    for index in range(3):
        raw = np.fromfile(tmp_path / ("f-43-%06d.raw" % index), np.uint8)
        with tifffile.TiffFile(tmp_path / ("f-43-%06d.dng" % index)) as dng:
            page = dng.pages[0]
            np.testing.assert_array_equal(
                page.asarray(), reference_unpack(raw.reshape(height, stride), width, 10))
            assert list(page.tags["CFAPattern"].value) == pattern
            assert page.tags["WhiteLevel"].value == 1023
            description = json.loads(page.tags["ImageDescription"].value)
            assert description["frame"] == index
            assert description["config"]["stream_configs"][0]["pad_row_to_64_bytes"] is True

    dng = str(tmp_path / "f-43-000000.dng")
    if shutil.which("raw-identify"):
        identify = subprocess.run(["raw-identify", "-v", dng], capture_output=True, text=True)
        assert "Full size:     %d x %d" % (width, height) in identify.stdout, identify.stdout
        assert "Filter pattern: " + cfa.upper() in identify.stdout
    if shutil.which("exiftool"):
        validate = subprocess.run(["exiftool", "-validate", "-warning", "-error", "-a", dng],
                                  capture_output=True, text=True)
        assert re.search(r"Validate\s+: OK", validate.stdout), validate.stdout + validate.stderr


# Catches non-Bayer streams written as DNG instead of refused before capture.
@pytest.mark.parametrize("stream", ["0x12,64,4,8", "0x1E,64,4,8", "0x24,64,4,8"])
def test_dng_refuses_streams_that_are_not_bayer(tmp_path, stream):
    result = talon_cam(["--stream", stream, "--dng", "f-#.dng"], tmp_path)
    assert result.returncode == 2
    assert "is not raw Bayer" in result.stderr
    assert not list(tmp_path.iterdir())


# Catches metadata lines that are not JSON, miss frames, or disagree with the
# printed lines (timestamps, sequence), and failed frames reported without
# their error.
def test_metadata_lines_match_the_printed_frames(tmp_path):
    result = talon_cam(["--stream", "0x2A,64,4,8", "--frames", "5", "--output", "f-#.raw",
                        "--metadata", "m.jsonl"], tmp_path,
                       {"PRISM_SIM_FAIL": "OzyWaitForCompletionWithTimeout:5:2"})
    assert result.returncode == 1  # one frame failed
    printed = re.findall(r"^\s*(\d+) seq\s+(\S+)\s+sof\s+(\S+)\s+eof\s+(\S+)", result.stdout,
                         re.MULTILINE)
    lines = (tmp_path / "m.jsonl").read_text().splitlines()
    assert len(lines) == len(printed) == 5
    for line, (index, sequence, sof, eof) in zip(lines, printed):
        frame = json.loads(line)
        assert frame["frame"] == int(index)
        stream = frame["streams"][0]
        assert (stream["data_type"], stream["row_stride"], stream["size_bytes"]) == (42, 64, 256)
        if sof == "-":
            assert frame["error"] == {"number": 5, "name": "TIMEOUT"}
            assert frame["sof_ns"] is None and stream["file"] is None
            continue
        assert frame["error"] == {"number": 0, "name": "SUCCESS"}
        assert "%.6f" % (frame["sof_ns"] / 1e9) == sof
        assert "%.6f" % (frame["eof_ns"] / 1e9) == eof
        assert str(frame["sequence"]) == sequence
        assert (tmp_path / stream["file"]).stat().st_size == 256
