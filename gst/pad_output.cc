#include "gst/pad_output.h"

#include <gst/video/video.h>

namespace talon_gst {
namespace {

void ReleaseLease(gpointer holder) { delete static_cast<std::shared_ptr<FrameLease>*>(holder); }

}  // namespace

PadOutput::PadOutput(const vireo::CaptureStreamConfig& stream, const OutputFormat& format,
                     GstCaps* caps, bool video_meta)
    : stream_(stream), format_(format), video_meta_(video_meta), pool_(gst_buffer_pool_new()) {
  GstStructure* config = gst_buffer_pool_get_config(pool_);
  gst_buffer_pool_config_set_params(config, caps,
                                    static_cast<guint>(format.stride * format.height), 0, 0);
  gst_buffer_pool_set_config(pool_, config);
  gst_buffer_pool_set_active(pool_, TRUE);
}

PadOutput::~PadOutput() {
  gst_buffer_pool_set_active(pool_, FALSE);
  gst_object_unref(pool_);
}

GstBuffer* PadOutput::Make(const std::shared_ptr<FrameLease>& lease, bool may_lend) {
  const uint8_t* data = lease->data(stream_.data_type);
  const uint64_t stride = lease->stride(stream_.data_type);
  const bool lendable = format_.conversion == Conversion::kNone &&
                        (stride == format_.stride || (format_.raw_video && video_meta_));
  copying_ = lendable && !may_lend;
  if (lendable && may_lend) {
    const gsize size = stride * format_.height;
    GstMemory* memory = gst_memory_new_wrapped(
        GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(data), size, 0, size,
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
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  ConvertFrame(stream_, data, stride, format_, map.data, format_.stride);
  gst_buffer_unmap(buffer, &map);
  if (copying_) copies_.fetch_add(1, std::memory_order_relaxed);
  return buffer;
}

}  // namespace talon_gst
