// Register nodes against device memory: address and length, reads and writes through the port,
// the per-register byte cache with its invalidation, and typed integer/float/string access.
//
// Every function runs on the caller's thread with exclusive use of the node map (the feature
// layer holds its camera mutex) and blocks in the port while the device answers. Address terms
// and lengths that name other nodes are evaluated under the map's re-entry guard.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"
#include "genicam/node.hpp"
#include "genicam/port.hpp"
#include "genicam/register_codec.hpp"
#include "genicam/url.hpp"

namespace corvisk::genicam {

// Largest register read in one piece. A length taken from the description beyond it (or below
// 0) is refused before anything is allocated, so a hostile description cannot make the host
// allocate gigabytes.
inline constexpr int64_t kMaxRegisterLength = static_cast<int64_t>(kMaxDescriptionSize);

// Where a register lives: the sum (wrapping) of its address terms, and its byte length (4 when
// the description gives none).
struct RegisterLocation {
    int64_t address = 0;
    int64_t length = 0;
};

// Chunk or event data as a port: register access reads a register on a chunk (or event) port
// from the buffer of its id here, at its address within the buffer; a read outside the buffer
// fails, and nothing read this way is cached (each frame or event brings its own bytes).
// Through any other port such a register is refused (PortData), and through this one every
// device register is (its bytes are not in the data), as is every write.
class DataView final : public PortIo {
  public:
    using Buffers = std::map<uint64_t, std::span<const uint8_t>>;
    // `buffers` (id -> bytes) must outlive the view.
    DataView(PortKind kind, const Buffers& buffers) : kind_(kind), buffers_(buffers) {}

    // The bytes of data port (kind, id), or null when the view holds none.
    const std::span<const uint8_t>* find(PortKind kind, uint64_t id) const;

    // Device memory: refused.
    CameraResult<void> read(uint64_t address, std::span<uint8_t> buffer) override;
    CameraResult<void> write(uint64_t address, std::span<const uint8_t> data) override;

  private:
    PortKind kind_;
    const Buffers& buffers_;
};

// Address and length of register `id`. UnsupportedAccess for a node that is not a register;
// otherwise the first failing term's error.
GenicamResult<RegisterLocation> register_address(Genicam& map, PortIo& port, NodeId id);

// The register's bytes: served from its cache when it is cachable and holds bytes (no device
// traffic), otherwise read through the port and, unless NoCache, kept as the cache.
// UnsupportedAccess (not a register), NotAccessible (WO), Formula "unsupported register length
// {}" (negative or above kMaxRegisterLength), Transport (port failure).
GenicamResult<Bytes> register_read(Genicam& map, PortIo& port, NodeId id);

// Writes `bytes` at the register's address. Afterwards the register's cache holds the bytes
// (WriteThrough) or is dropped (otherwise), and the caches that depend on the write are dropped:
// those listed in the invalidation index for the register and for every node the write is
// passing through (the map's evaluation stack), and those of the other entries of the same
// StructReg. UnsupportedAccess, NotAccessible (RO), Transport (caches then untouched).
Status<GenicamError> register_write(Genicam& map, PortIo& port, NodeId id,
                                    std::span<const uint8_t> bytes);

// Typed access. Each fails with UnsupportedAccess unless `id` is a register of the matching kind
// (Int, Float, String); encoding errors become Formula errors carrying the register's name.
// Writes take the byte count from the register's length reference (a register without Length
// cannot be written this way: UnsupportedAccess "<value reference>"). A masked integer write
// is a read-modify-write that may be served from the cache.
GenicamResult<int64_t> read_int_register(Genicam& map, PortIo& port, NodeId id);
Status<GenicamError> write_int_register(Genicam& map, PortIo& port, NodeId id, int64_t value);
GenicamResult<double> read_float_register(Genicam& map, PortIo& port, NodeId id);
Status<GenicamError> write_float_register(Genicam& map, PortIo& port, NodeId id, double value);
GenicamResult<std::string> read_string_register(Genicam& map, PortIo& port, NodeId id);
Status<GenicamError> write_string_register(Genicam& map, PortIo& port, NodeId id,
                                           std::string_view text);

}  // namespace corvisk::genicam
