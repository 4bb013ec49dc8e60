#include "gst/picture_output.h"

#include "absl/strings/str_cat.h"

namespace talon_gst {

PictureOutput::PictureOutput(const vireo::CaptureStreamConfig& stream, const OutputFormat& format,
                             const talon_isp::Settings& settings, int threads)
    : stream_(stream),
      format_(format),
      settings_(settings),
      isp_(threads),
      pool_(gst_video_buffer_pool_new()) {
  gst_video_info_set_format(&info_, format.video_format, format.width, format.height);
  GstCaps* caps = gst_video_info_to_caps(&info_);
  GstStructure* config = gst_buffer_pool_get_config(pool_);
  gst_buffer_pool_config_set_params(config, caps, static_cast<guint>(info_.size), kTouched, 0);
  gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
  gst_buffer_pool_set_config(pool_, config);
  gst_caps_unref(caps);
  gst_buffer_pool_set_active(pool_, TRUE);
  GstBuffer* touched[kTouched] = {};
  for (GstBuffer*& buffer : touched) {
    if (gst_buffer_pool_acquire_buffer(pool_, &buffer, nullptr) != GST_FLOW_OK) break;
    gst_buffer_memset(buffer, 0, 0, info_.size);
  }
  for (GstBuffer* buffer : touched) {
    if (buffer != nullptr) gst_buffer_unref(buffer);
  }
}

PictureOutput::~PictureOutput() {
  gst_buffer_pool_set_active(pool_, FALSE);
  gst_object_unref(pool_);
}

GstBuffer* PictureOutput::Develop(const uint8_t* data, uint64_t stride, std::string* error) {
  GstBuffer* buffer = nullptr;
  if (gst_buffer_pool_acquire_buffer(pool_, &buffer, nullptr) != GST_FLOW_OK) {
    *error = "no buffer for the developed picture";
    return nullptr;
  }
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &info_, buffer, GST_MAP_WRITE)) {
    gst_buffer_unref(buffer);
    *error = "the developed picture's buffer cannot be written";
    return nullptr;
  }
  talon_isp::RawImage raw;
  RawFormatOf(stream_, &raw.format);
  raw.data = data;
  raw.stride = stride;
  raw.width = stream_.width;
  raw.height = stream_.height;
  talon_isp::Image out;
  out.format = format_.picture;
  out.width = format_.width;
  out.height = format_.height;
  for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(&frame); ++i) {
    out.planes[i] = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i));
    out.strides[i] = static_cast<uint64_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i));
  }
  talon_isp::Error problem;
  const bool developed = isp_.Develop(raw, settings_, out, nullptr, &problem);
  gst_video_frame_unmap(&frame);
  if (!developed) {
    gst_buffer_unref(buffer);
    *error = absl::StrCat("the ISP refused the frame: ", problem.argument, " ", problem.reason);
    return nullptr;
  }
  return buffer;
}

}  // namespace talon_gst
