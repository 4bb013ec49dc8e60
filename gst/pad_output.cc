#include "gst/pad_output.h"

#include <gst/video/video.h>

#include <algorithm>
#include <string>

namespace talon_gst {
namespace {

void ReleaseLease(gpointer holder) { delete static_cast<std::shared_ptr<FrameLease>*>(holder); }

}  // namespace

// The largest output of the stream that the pad's pool holds, over every
// caps it has but the pictures (PictureOutput's); 0 without caps.
guint MaxOutputBytes(const vireo::CaptureStreamConfig& stream, bool* always_converted) {
  std::string error;
  GstCaps* caps = StreamCaps(stream, Cfa::kRggb, false, 0, 1, &error);
  guint max = 0;
  *always_converted = caps != nullptr;
  for (guint i = 0; caps != nullptr && i < gst_caps_get_size(caps); ++i) {
    GstCaps* one = gst_caps_copy_nth(caps, i);
    OutputFormat format;
    if (OutputFromCaps(stream, one, false, &format, &error) &&
        format.conversion != Conversion::kDevelop) {
      max = std::max(max, static_cast<guint>(format.stride * format.height));
      *always_converted &= format.conversion != Conversion::kNone;
    }
    gst_caps_unref(one);
  }
  if (caps != nullptr) gst_caps_unref(caps);
  return max;
}

PadOutput::PadOutput(const vireo::CaptureStreamConfig& stream, const talon_isp::Settings& settings,
                     int isp_threads)
    : stream_(stream),
      settings_(settings),
      isp_threads_(isp_threads),
      pool_(gst_buffer_pool_new()) {
  bool always_converted = false;
  const guint size = MaxOutputBytes(stream, &always_converted);
  const guint ready = always_converted ? kTouchedBuffers : 0;
  GstStructure* config = gst_buffer_pool_get_config(pool_);
  gst_buffer_pool_config_set_params(config, nullptr, size, ready, 0);
  gst_buffer_pool_set_config(pool_, config);
  gst_buffer_pool_set_active(pool_, TRUE);
  GstBuffer* touched[kTouchedBuffers] = {};
  for (guint i = 0; i < ready; ++i) {
    if (gst_buffer_pool_acquire_buffer(pool_, &touched[i], nullptr) != GST_FLOW_OK) break;
    gst_buffer_memset(touched[i], 0, 0, size);
  }
  for (GstBuffer* buffer : touched) {
    if (buffer != nullptr) gst_buffer_unref(buffer);
  }
}

PadOutput::~PadOutput() {
  gst_buffer_pool_set_active(pool_, FALSE);
  gst_object_unref(pool_);
}

void PadOutput::Expect(const OutputFormat& format) {
  if (format.conversion == Conversion::kDevelop) {
    picture_ = std::make_unique<PictureOutput>(stream_, format, settings_, isp_threads_);
  }
}

void PadOutput::Configure(const OutputFormat& format, bool video_meta) {
  format_ = format;
  video_meta_ = video_meta;
  if (format.conversion != Conversion::kDevelop) return;
  const OutputFormat* made = picture_ != nullptr ? &picture_->format() : nullptr;
  if (made == nullptr || made->video_format != format.video_format || made->width != format.width ||
      made->height != format.height) {
    picture_ = std::make_unique<PictureOutput>(stream_, format, settings_, isp_threads_);
  }
}

GstBuffer* PadOutput::Make(const std::shared_ptr<FrameLease>& lease, bool may_lend,
                           std::string* error) {
  const uint8_t* data = lease->data(stream_.data_type);
  const uint64_t stride = lease->stride(stream_.data_type);
  if (format_.conversion == Conversion::kDevelop) {
    copying_ = false;
    return picture_->Develop(data, stride, error);
  }
  const bool lendable = format_.conversion == Conversion::kNone &&
                        (stride == format_.stride || (format_.raw_video && video_meta_));
  copying_ = lendable && !may_lend;
  if (lendable && may_lend) {
    const gsize size = stride * format_.height;
    GstMemory* memory =
        gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(data), size, 0, size,
                               new std::shared_ptr<FrameLease>(lease), ReleaseLease);
    GstBuffer* buffer = gst_buffer_new();
    gst_buffer_append_memory(buffer, memory);
    GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_TAG_MEMORY);
    if (format_.raw_video && stride != format_.stride) {
      gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
      gint strides[GST_VIDEO_MAX_PLANES] = {static_cast<gint>(stride)};
      gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, format_.video_format,
                                     format_.width, format_.height, 1, offsets, strides);
    }
    return buffer;
  }
  GstBuffer* buffer = nullptr;
  if (gst_buffer_pool_acquire_buffer(pool_, &buffer, nullptr) != GST_FLOW_OK) return nullptr;
  gst_buffer_set_size(buffer, static_cast<gssize>(format_.stride * format_.height));
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  ConvertFrame(stream_, data, stride, format_, map.data, format_.stride);
  gst_buffer_unmap(buffer, &map);
  if (copying_) copies_.fetch_add(1, std::memory_order_relaxed);
  return buffer;
}

}  // namespace talon_gst
