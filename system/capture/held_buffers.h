// Which frame buffers a CaptureFrameBufferFactory made, and which capture
// worker holds each of them right now: the service side of a frame buffer's
// life, kept here rather than in the buffer so that CaptureFrameBufferImpl
// keeps the layout that clients built for the device compile against.
//
// A factory registers every buffer it makes; the buffer's destructor forgets
// it (a fatal error while a worker holds it). A worker takes the hold when it
// accepts a buffer and gives it back when a dequeue, a clear or its own end
// hands the buffer back to the client.
//
// Threading: every function may be called from any thread; one process-wide
// mutex, never held while calling out, orders them. Taking a hold is one step
// under it, so of two workers offered one buffer at once only one takes it.
// Ownership: keeps addresses only; the client owns its buffers.

#ifndef SYSTEM_CAPTURE_HELD_BUFFERS_H_
#define SYSTEM_CAPTURE_HELD_BUFFERS_H_

namespace vireo {

class CaptureFrameBufferImpl;

namespace held_buffers {

// Marks a buffer that a factory has just made.
void AddFactoryBuffer(const CaptureFrameBufferImpl* frame_buffer);
// Forgets a buffer that is being destroyed; fatal, naming it, while a
// worker holds it.
void Forget(const CaptureFrameBufferImpl* frame_buffer);

bool MadeByFactory(const CaptureFrameBufferImpl* frame_buffer);

enum class Hold : int { kTaken, kNotFromFactory, kHeldByThis, kHeldByOther };
// Takes the hold of a factory's buffer for `holder`, unless another or the
// same holder has it.
Hold TryHold(const CaptureFrameBufferImpl* frame_buffer, const void* holder);
// Gives the hold back (nothing when the buffer is not held).
void Release(const CaptureFrameBufferImpl* frame_buffer);

}  // namespace held_buffers
}  // namespace vireo

#endif  // SYSTEM_CAPTURE_HELD_BUFFERS_H_
