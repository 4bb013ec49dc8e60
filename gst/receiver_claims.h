// Which talonsrc of the process captures from each MIPI receiver and
// virtual channel: a second element on the same pair is refused, naming
// the first, rather than both capturing (the capture service would take
// the pair twice without a word).
//
// A claim is keyed by the element (any unique pointer) and holds its name
// for the refusal. Claims live in one process-wide table; elements claim at
// NULL→READY (again when mipi-rx or virtual-channel change in READY) and
// release when they go back to NULL or are finalised.
//
// Threads: any; the table is under its own mutex.

#ifndef GST_RECEIVER_CLAIMS_H_
#define GST_RECEIVER_CLAIMS_H_

#include <string>

namespace talon_gst {

// Claims receiver `mipi_rx`, virtual channel `virtual_channel` for `owner`
// (named `name`), dropping any other claim `owner` held. False with
// `error` ("mipi-rx 0, virtual-channel 0 is busy: talonsrc0 captures from
// it") when another owner holds the pair.
bool ClaimReceiver(const void* owner, const std::string& name, int mipi_rx,
                   unsigned virtual_channel, std::string* error);

// Drops `owner`'s claim, if any.
void ReleaseReceiver(const void* owner);

}  // namespace talon_gst

#endif  // GST_RECEIVER_CLAIMS_H_
