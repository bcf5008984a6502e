// Expands an LZ4 block with a requested size taken from the first three input bytes, then
// decodes and writes what it expanded to.
//
// Input layout: byte 0 selects the kind of size, bytes 1-2 (little endian) give a number,
// the rest is the block. Kind (byte 0 & 15): 0 a negative size, 1 a size around the largest
// accepted one (2,113,929,216), anything else the number itself (0 to 65535).
#include <lz4.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "check_batch.hpp"
#include "lz4_block/decompress.hpp"

namespace {

constexpr int64_t kMax = 0x7E000000;
// Blocks up to this size expand to less than 16 MiB (at most 255 bytes out per byte in),
// so a reference expansion into a buffer of that size sees every possible result.
constexpr size_t kMaxBlock = 65536;
constexpr int kReferenceRoom = 1 << 24;

int64_t requested_size(const uint8_t* header) {
    const int64_t number = header[1] | header[2] << 8;
    switch (header[0] & 15) {
        case 0:
            return -1 - number;
        case 1:
            return kMax - 32768 + number;  // half below the limit, half above
        default:
            return number;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int64_t requested = requested_size(data);
    const std::string_view block(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::string detail = "requested size " + std::to_string(requested) + ", block of " +
                               std::to_string(block.size()) + " bytes";

    auto expanded = lz4_block::decompress(block, requested);

    if (requested < 0) {
        FUZZ_CHECK(!expanded.ok() && expanded.error().debug() ==
                                         "Custom { kind: InvalidInput, error: \"Size parameter "
                                         "must not be negative.\" }",
                   detail);
        return 0;
    }
    if (requested > kMax) {
        FUZZ_CHECK(
            !expanded.ok() &&
                expanded.error().debug() ==
                    "Custom { kind: InvalidInput, error: \"Given size parameter is too big\" }",
            detail);
        return 0;
    }
    if (block.size() > kMaxBlock) return 0;

    // Reference: liblz4 straight into a buffer of the requested size (capped where the
    // block cannot expand further anyway).
    const int room = static_cast<int>(std::min<int64_t>(requested, kReferenceRoom));
    // Allocated once; only the bytes liblz4 reports as produced are compared.
    static const std::unique_ptr<char[]> reference(new char[kReferenceRoom + 1]);
    const int produced =
        LZ4_decompress_safe(block.data(), reference.get(), static_cast<int>(block.size()), room);
    if (produced < 0) {
        FUZZ_CHECK(!expanded.ok() && expanded.error().debug() ==
                                         "Custom { kind: InvalidData, error: \"Decompression "
                                         "failed. Input invalid or too long?\" }",
                   detail);
        return 0;
    }
    FUZZ_CHECK(expanded.ok(), detail + " expanded by liblz4 to " + std::to_string(produced));
    const std::string_view out = expanded.value().view();
    FUZZ_CHECK(static_cast<int64_t>(out.size()) <= requested, detail);
    FUZZ_CHECK(out.size() == static_cast<size_t>(produced) &&
                   (out.empty() || std::memcmp(out.data(), reference.get(), out.size()) == 0),
               detail);

    fuzz::check_decode(out);
    return 0;
}
