// The chunk layout of a frame's payload: chunks follow one another, each its data then a
// trailer of its id (4 bytes) and data length (4 bytes), big-endian, so the layout is read from
// the end of the payload backwards. With chunks, the image itself is the first chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result.hpp"

namespace corvisk::genicam {

struct ChunkEntry {
    uint32_t id = 0;
    size_t offset = 0;  // of the chunk's data in the payload
    size_t length = 0;
    friend bool operator==(const ChunkEntry&, const ChunkEntry&) = default;
};

inline constexpr size_t kChunkTrailerSize = 8;

// The chunks of `payload` in payload order. Every trailer and every length is checked against
// what lies before it, so no entry reaches outside the payload and entries never overlap; each
// step consumes at least a trailer, so the walk ends (zero-length chunks included). Fails with
// the reason on a trailer fragment at the start or a length running past the start. Any
// alignment is accepted.
Result<std::vector<ChunkEntry>, std::string> parse_chunks(std::span<const uint8_t> payload);

}  // namespace corvisk::genicam
