#include "python/develop_binding.h"

#include <pybind11/numpy.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "isp/isp.h"
#include "support/csi2_unpack.h"
#include "support/isp_text.h"
#include "system/capture/capture_types.h"

namespace talon_python {
namespace {

namespace py = pybind11;

[[noreturn]] void Refuse(const std::string& argument, const std::string& reason) {
  throw py::value_error(argument + ": " + reason);
}

std::string Repr(py::handle value) { return py::repr(value).cast<std::string>(); }

// An int-like `value` (int, NumPy integer) in [min, max].
uint32_t Unsigned(py::handle value, const char* name, uint32_t min, uint32_t max) {
  const py::int_ number = py::module_::import("operator").attr("index")(value);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0 || v < static_cast<long long>(min) || v > static_cast<long long>(max)) {
    Refuse(name, "must be in " + std::to_string(min) + " to " + std::to_string(max) + ", not " +
                     Repr(value));
  }
  return static_cast<uint32_t>(v);
}

// `value` as a float64 array of `shape`; refused with `what` otherwise.
py::array_t<double> Numbers(py::handle value, const char* name, std::vector<py::ssize_t> shape,
                            const char* what) {
  py::array_t<double> numbers;
  try {
    numbers = py::module_::import("numpy").attr("asarray")(value, "float64");
  } catch (const py::error_already_set&) {
    Refuse(name, std::string("must be ") + what + ", not " + Repr(value));
  }
  bool fits = numbers.ndim() == static_cast<py::ssize_t>(shape.size());
  for (size_t i = 0; fits && i < shape.size(); ++i) fits = numbers.shape(i) == shape[i];
  if (!fits) Refuse(name, std::string("must be ") + what + ", not " + Repr(value));
  return numbers;
}

py::array Contiguous(const py::array& array) {
  return py::module_::import("numpy").attr("ascontiguousarray")(array);
}

// The raw frame the ISP reads, and the array its data lies in (kept alive,
// and its buffer export held, while the ISP reads it).
struct Raw {
  talon_isp::RawImage image;
  py::array keep;
  bool samples = true;  // an array of samples: its shape is the frame's size
};

// An array of samples (height, width): uint16 (kU16) or uint8 (kRaw8), any
// row stride; a non-unit column stride or rows out of order are copied.
Raw FromSamples(py::handle raw) {
  py::array array = py::array::ensure(raw);
  if (!array) Refuse("raw", "must be a 2-D NumPy array of samples, not " + Repr(raw));
  const bool u16 = py::isinstance<py::array_t<uint16_t>>(array);
  if (!u16 && !py::isinstance<py::array_t<uint8_t>>(array)) {
    Refuse("raw", "samples must be uint16 or uint8 in the machine's byte order, not " +
                      Repr(array.dtype()) + " (or give data_type for a frame's payload bytes)");
  }
  if (array.ndim() != 2) {
    Refuse("raw", "must be a 2-D array of samples (height, width), not " +
                      std::to_string(array.ndim()) + "-D");
  }
  const py::ssize_t item = array.itemsize();
  if (array.strides(1) != item || array.strides(0) < array.shape(1) * item) {
    array = Contiguous(array);
  }
  if (array.shape(0) > UINT32_MAX || array.shape(1) > UINT32_MAX) {
    Refuse("raw", "has more than 2^32 - 1 rows or columns");
  }
  Raw out;
  out.image = {array.data(), static_cast<uint64_t>(array.strides(0)),
               static_cast<uint32_t>(array.shape(1)), static_cast<uint32_t>(array.shape(0)),
               u16 ? talon_isp::RawFormat::kU16 : talon_isp::RawFormat::kRaw8};
  out.keep = array;
  return out;
}

// A frame's CSI-2 payload of `data_type` (RAW8, packed RAW10 or RAW16): a
// 2-D uint8 array (rows, row stride), as Frame.array() gives, or any
// bytes-like object with rows `stride` bytes apart (default: back to back).
Raw FromPayload(py::handle raw, py::handle data_type, py::handle width, py::handle height,
                py::handle stride) {
  const uint32_t type = Unsigned(data_type, "data_type", 0, INT32_MAX);
  talon_isp::RawFormat format = talon_isp::RawFormat::kRaw10;
  uint32_t bits = 10;
  if (type == vireo::CSI2_RAW8) {
    format = talon_isp::RawFormat::kRaw8, bits = 8;
  } else if (type == vireo::CSI2_RAW16) {
    format = talon_isp::RawFormat::kRaw16, bits = 16;
  } else if (type != vireo::CSI2_RAW10) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%X", type);
    Refuse("data_type", std::string(hex) +
                            " is not one of CSI2_RAW8, CSI2_RAW10, CSI2_RAW16 (the payload "
                            "layouts develop reads)");
  }
  if (width.is_none()) Refuse("width", "must be given with data_type (the frame's size)");
  if (height.is_none()) Refuse("height", "must be given with data_type (the frame's size)");
  const uint32_t w = Unsigned(width, "width", 1, UINT32_MAX);
  const uint32_t h = Unsigned(height, "height", 1, UINT32_MAX);
  const uint64_t row = talon_support::PayloadRowBytes(w, bits);

  py::array array;
  if (py::isinstance<py::array>(raw)) {
    array = py::reinterpret_borrow<py::array>(raw);
  } else {
    try {
      array = py::module_::import("numpy").attr("frombuffer")(raw, "uint8");
    } catch (const py::error_already_set&) {
      Refuse("raw",
             "with data_type must be the payload's bytes (bytes-like or a uint8 array), "
             "not " +
                 Repr(raw));
    }
  }
  if (!py::isinstance<py::array_t<uint8_t>>(array) || array.ndim() < 1 || array.ndim() > 2) {
    Refuse("raw", "with data_type must be the payload's bytes: a 1-D or 2-D uint8 array, not " +
                      std::to_string(array.ndim()) + "-D " + Repr(array.dtype()));
  }
  uint64_t step = 0, rows = 0, row_bytes = 0;  // what the array holds
  if (array.ndim() == 2) {
    if (!stride.is_none()) Refuse("stride", "a 2-D payload array has its own: its rows");
    if (array.strides(1) != 1 || array.strides(0) < array.shape(1)) array = Contiguous(array);
    step = static_cast<uint64_t>(array.strides(0));
    rows = static_cast<uint64_t>(array.shape(0));
    row_bytes = static_cast<uint64_t>(array.shape(1));
    if (row_bytes < row) {
      Refuse("raw", "rows of " + std::to_string(row_bytes) + " bytes hold fewer than " +
                        std::to_string(w) + " samples of " + std::to_string(bits) + " bits (" +
                        std::to_string(row) + " bytes)");
    }
  } else {
    if (array.strides(0) != 1) array = Contiguous(array);
    step = stride.is_none() ? row : Unsigned(stride, "stride", 1, UINT32_MAX);
    if (step < row) {
      Refuse("stride", "must be at least " + std::to_string(row) + " (a row of " +
                           std::to_string(w) + " " + std::to_string(bits) + "-bit samples), not " +
                           std::to_string(step));
    }
    const uint64_t size = static_cast<uint64_t>(array.shape(0));
    rows = size < row ? 0 : (size - row) / step + 1;  // whole rows the bytes hold
    row_bytes = row;
  }
  if (rows < h) {
    Refuse("raw", "holds " + std::to_string(rows) + " rows of " + std::to_string(w) + " " +
                      std::to_string(bits) + "-bit samples, fewer than height " +
                      std::to_string(h));
  }
  Raw out;
  out.image = {array.data(), step, w, h, format};
  out.keep = array;
  out.samples = false;
  return out;
}

// The keyword that an ISP argument stands for.
std::string Keyword(const std::string& argument, const Raw& raw) {
  if (argument == "transfer") return "gamma";
  if (raw.samples && (argument == "width" || argument == "height" || argument == "stride")) {
    return "raw";
  }
  return argument;
}

py::array Develop(py::object raw, py::object cfa, py::object black_level, py::object white_level,
                  py::object wb_gains, py::object ccm, py::object gamma, py::object out,
                  py::object data_type, py::object width, py::object height, py::object stride,
                  bool half_size) {
  Raw frame;
  if (data_type.is_none()) {
    for (const auto& [name, value] : {std::pair<const char*, py::handle>{"width", width},
                                      {"height", height},
                                      {"stride", stride}}) {
      if (!value.is_none()) {
        Refuse(name,
               "only with data_type (a payload's layout); an array of samples has its "
               "own (its shape and strides)");
      }
    }
    frame = FromSamples(raw);
  } else {
    frame = FromPayload(raw, data_type, width, height, stride);
  }

  talon_isp::Settings settings;
  std::string problem;
  if (!py::isinstance<py::str>(cfa) ||
      !(problem = talon_support::ParseCfa(cfa.cast<std::string>(), &settings.cfa)).empty()) {
    Refuse("cfa", problem.empty()
                      ? "must be one of \"RGGB\", \"GRBG\", \"GBRG\", \"BGGR\", not " + Repr(cfa)
                      : problem);
  }
  if (!py::isinstance<py::str>(gamma) ||
      !(problem = talon_support::ParseTransfer(gamma.cast<std::string>(), &settings.transfer))
           .empty()) {
    Refuse("gamma",
           problem.empty() ? "must be \"srgb\" or \"linear\", not " + Repr(gamma) : problem);
  }
  settings.black_level = Unsigned(black_level, "black_level", 0, UINT32_MAX);
  if (white_level.is_none()) {
    if (frame.image.format == talon_isp::RawFormat::kU16) {
      Refuse("white_level",
             "must be given for uint16 samples, whose array does not say their "
             "bit depth (1023 for 10-bit samples, 65535 for 16-bit)");
    }
  } else {
    settings.white_level = Unsigned(white_level, "white_level", 1, UINT32_MAX);
  }
  if (!wb_gains.is_none()) {
    const py::array_t<double> gains =
        Numbers(wb_gains, "wb_gains", {3}, "3 positive finite gains (R, G, B)");
    settings.auto_white_balance = false;
    for (int i = 0; i < 3; ++i) settings.wb_gains[i] = static_cast<float>(gains.at(i));
  }
  if (!ccm.is_none()) {
    const py::array_t<double> matrix =
        Numbers(ccm, "ccm", {3, 3}, "a 3x3 matrix (camera RGB to linear sRGB) of finite numbers");
    for (int i = 0; i < 9; ++i) settings.ccm[i] = static_cast<float>(matrix.at(i / 3, i % 3));
  }
  settings.half_size = half_size;

  uint32_t out_width = 0, out_height = 0;
  talon_isp::OutputSize(frame.image.width, frame.image.height, half_size, &out_width, &out_height);
  py::array picture;
  if (out.is_none()) {
    picture = py::array_t<uint8_t>({static_cast<py::ssize_t>(out_height),
                                    static_cast<py::ssize_t>(out_width), py::ssize_t{3}});
  } else {
    if (!py::isinstance<py::array>(out)) {
      Refuse("out", "must be a NumPy array (uint8, C-contiguous), not " + Repr(out));
    }
    picture = py::reinterpret_borrow<py::array>(out);
    const bool fits = py::isinstance<py::array_t<uint8_t>>(picture) && picture.ndim() == 3 &&
                      picture.shape(0) == static_cast<py::ssize_t>(out_height) &&
                      picture.shape(1) == static_cast<py::ssize_t>(out_width) &&
                      picture.shape(2) == 3 && (picture.flags() & py::array::c_style) != 0;
    if (!fits) {
      Refuse("out", "must be a C-contiguous uint8 array of shape (" + std::to_string(out_height) +
                        ", " + std::to_string(out_width) + ", 3), not " + Repr(picture.dtype()) +
                        " " + Repr(out.attr("shape")) +
                        ((picture.flags() & py::array::c_style) != 0 ? "" : " (not contiguous)"));
    }
    if (!picture.writeable()) Refuse("out", "is read-only");
  }
  const talon_isp::Image image{talon_isp::PixelFormat::kRgb,
                               out_width,
                               out_height,
                               {static_cast<uint8_t*>(picture.mutable_data())},
                               {uint64_t{out_width} * 3}};
  talon_isp::Error error;
  if (!talon_isp::CheckDevelop(frame.image, settings, image, &error)) {
    const std::string keyword = Keyword(error.argument, frame);
    Refuse(keyword, keyword == error.argument ? error.reason : error.argument + " " + error.reason);
  }
  bool developed = false;
  {
    py::gil_scoped_release release;
    talon_isp::Isp isp(0);  // bands across the CPUs for large frames
    developed = isp.Develop(frame.image, settings, image, nullptr, &error);
  }
  if (!developed) Refuse(Keyword(error.argument, frame), error.reason);
  return picture;
}

}  // namespace

void BindDevelop(py::module_& m) {
  // Docstrings open with the signature in Python's own form, which
  // inspect.signature reads (the types are in _talon.pyi).
  py::options options;
  options.disable_function_signatures();
  m.def("develop", &Develop, py::arg("raw"), py::arg("cfa") = "RGGB", py::arg("black_level") = 0,
        py::arg("white_level") = py::none(), py::arg("wb_gains") = py::none(),
        py::arg("ccm") = py::none(), py::arg("gamma") = "srgb", py::arg("out") = py::none(),
        py::kw_only(), py::arg("data_type") = py::none(), py::arg("width") = py::none(),
        py::arg("height") = py::none(), py::arg("stride") = py::none(),
        py::arg("half_size") = false,
        "develop(raw, cfa='RGGB', black_level=0, white_level=None, wb_gains=None, ccm=None,\n"
        "        gamma='srgb', out=None, *, data_type=None, width=None, height=None,\n"
        "        stride=None, half_size=False)\n--\n\n"
        "Develops a raw Bayer frame into 8-bit RGB: a new uint8 array (H, W, 3), or\n"
        "written into out (C-contiguous uint8, that shape) and returned. H, W: the\n"
        "frame's size, or half of it (rounded down) with half_size (2x2 binned).\n"
        "\n"
        "raw: a 2-D array of samples (height, width), uint16 or uint8, any view or\n"
        "crop (a non-unit column stride is copied); or, with data_type (CSI2_RAW8,\n"
        "CSI2_RAW10 packed, CSI2_RAW16), a frame's payload bytes: a 2-D uint8 array\n"
        "(rows, row stride) as Frame.array() gives, or bytes-like with rows stride\n"
        "bytes apart (default back to back), with width and height.\n"
        "cfa: colour of the top-left 2x2 cell, \"RGGB\", \"GRBG\", \"GBRG\", \"BGGR\".\n"
        "black_level, white_level: sample values; white_level defaults to the\n"
        "format's full scale (255 for uint8 and RAW8, 1023 for RAW10, 65535 for\n"
        "RAW16) and must be given for uint16 arrays (1023 for 10-bit samples).\n"
        "wb_gains: (R, G, B) gains, or None for automatic (grey world, from this\n"
        "frame). ccm: 3x3, white-balanced camera RGB to linear sRGB (None: the\n"
        "identity). gamma: \"srgb\" or \"linear\".\n"
        "Bad arguments raise ValueError naming the keyword. The GIL is released\n"
        "while the frame develops.");
}

}  // namespace talon_python
