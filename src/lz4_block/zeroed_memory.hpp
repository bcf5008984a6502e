// Zero-filled memory for the expanded block. Large buffers are mapped directly, so that
// releasing one returns its pages to the system at once (malloc may keep freed memory
// resident), and fresh mapped pages are zero without a memset.
#pragma once

#include <cstddef>

namespace lz4_block {

char* allocate_zeroed(size_t size);
void release_zeroed(char* data, size_t size);

}  // namespace lz4_block
