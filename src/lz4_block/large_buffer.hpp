// Memory for the large per-call buffers (the expanded block, the JSON text), which are
// written once from front to back. A first write to fresh memory faults in every page;
// with 4 KiB pages that costs more than the conversion itself, so an expanded block of
// 1 MiB and more is mapped directly, aligned for transparent huge pages where the system
// offers them, while a large output buffer is mapped in small pages and kept for the next
// call (below), unless it is too large to keep, when huge pages serve it too. Releasing a
// buffer that is not kept returns its pages at once.
#pragma once

#include <cstddef>

namespace lz4_block {

inline constexpr size_t kLargeBuffer = size_t{1} << 20;
// Output buffers are mapped (and kept, see below) from this size on: smaller than the
// expanded block's threshold, since text that is rewritten in wider units before it becomes
// a str (see log_parser/wide_text) gains from a kept buffer already at a few hundred KiB.
inline constexpr size_t kMappedOutput = size_t{256} << 10;

// Room for `size` bytes (at least one byte is allocated); zero-filled when `zeroed` is
// set (mapped memory always is).
char* allocate_buffer(size_t size, bool zeroed);
void release_buffer(char* data, size_t size);

// The same for output that is always written before it is read (the JSON text), whose
// old contents therefore never show, mapped from kMappedOutput bytes on: the largest one
// released lately stays mapped, up to 64 MiB, and serves the next call without faulting
// its pages in again. Only
// buffers released after a call's result exists are kept, so a call's peak is unchanged.
// `size` is the room asked for; on return, the room given, which may be more when a kept
// buffer serves (up to four times the room asked for).
char* allocate_output_buffer(size_t& size);
void release_output_buffer(char* data, size_t size);

// Grows an output buffer of `capacity` bytes, the first `used` of them written, to `size`
// bytes (on return, the room given). A large buffer is remapped: the kernel moves its pages,
// nothing is copied and nothing faults in again. The old buffer is gone afterwards.
char* grow_output_buffer(char* data, size_t capacity, size_t used, size_t& size);

}  // namespace lz4_block
