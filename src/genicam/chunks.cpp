// Backward walk over chunk trailers; every read is bounds-checked before it happens.
#include "genicam/chunks.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "bytes.hpp"

namespace corvisk::genicam {

Result<std::vector<ChunkEntry>, std::string> parse_chunks(std::span<const uint8_t> payload) {
    std::vector<ChunkEntry> out;
    size_t end = payload.size();
    while (end > 0) {
        if (end < kChunkTrailerSize) {
            return Err{fmt::format("{} bytes before the first chunk are no trailer", end)};
        }
        const uint8_t* trailer = payload.data() + end - kChunkTrailerSize;
        const uint32_t id = load_be32(trailer);
        const uint32_t length = load_be32(trailer + 4);
        end -= kChunkTrailerSize;
        if (length > end) {
            return Err{
                fmt::format("chunk {:#010x} of {} bytes runs past the payload's start "
                            "({} bytes before its trailer)",
                            id, length, end)};
        }
        end -= length;
        out.push_back(ChunkEntry{id, end, length});
    }
    std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace corvisk::genicam
