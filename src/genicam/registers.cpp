// Register access: addresses, cached reads, writes with invalidation, typed encode/decode.
#include "genicam/registers.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "genicam/resolve.hpp"
#include "log.hpp"

namespace corvisk::genicam {
namespace {

constexpr const char* kTarget = "corvisk::genicam";

RegisterNode* as_register(Genicam& map, NodeId id) {
    return std::get_if<RegisterNode>(&map.at(id).node);
}

GenicamError unsupported(const Genicam& map, NodeId id) {
    return GenicamError::unsupported_access(map.name(id));
}

GenicamError codec_error(const Genicam& map, NodeId id, std::string text) {
    return GenicamError::formula(map.name(id), std::move(text));
}

// The cached bytes a read may be served from, or null when the device must be asked.
const Bytes* servable_cache(const RegisterCommon& c) {
    if (c.cachable == Cachable::NoCache || !c.cache.has_value()) {
        return nullptr;
    }
    return &*c.cache;
}

IntField field_of(const IntKind& k) {
    return IntField{k.lsb, k.msb, k.is_unsigned, k.big_endian};
}

// The value link a node's own value comes through, for the kinds that have one.
const ValueRef* value_link(const Node& n) {
    return std::visit(
        [](const auto& x) -> const ValueRef* {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, IntegerNode> || std::is_same_v<T, FloatNode> ||
                          std::is_same_v<T, BooleanNode> || std::is_same_v<T, StringNode> ||
                          std::is_same_v<T, EnumerationNode> || std::is_same_v<T, CommandNode> ||
                          std::is_same_v<T, ConverterNode>) {
                return &x.value;
            } else {
                return nullptr;
            }
        },
        n);
}

// Drops the cache of the register that holds `id`'s value: the node itself when it is a
// register, else the register at the end of its value links. Descriptions commonly name the
// feature (Width) rather than its register in pInvalidator; both must work. The walk is bounded
// so a cycle of links cannot hang it.
void drop_backing_cache(Genicam& map, NodeId id) {
    for (size_t step = 0; step <= Genicam::kMaxDepth; ++step) {
        Node& n = map.at(id).node;
        if (auto* reg = std::get_if<RegisterNode>(&n)) {
            reg->common.cache.reset();
            return;
        }
        const ValueRef* v = value_link(n);
        if (v == nullptr || !v->is_node() || !v->link().is_resolved()) {
            return;
        }
        id = v->link().id();
    }
}

void drop_invalidated_by(Genicam& map, NodeId written) {
    for (const NodeId dependent : map.invalidated_by(written)) {
        drop_backing_cache(map, dependent);
    }
}

// The entries of one StructReg share their word but each keeps its own cache; after a write
// through one entry the others would serve stale bytes, and a read-modify-write through one of
// them would put the old bits back on the device. The builder adds a StructReg's entries one
// after another, so they are the neighbours of the written register with the same address terms
// and length; their caches go too. (Registers declared apart that share bytes are linked by the
// description's pInvalidator elements instead.)
void drop_struct_siblings(Genicam& map, NodeId written) {
    const RegisterCommon& w = as_register(map, written)->common;
    const auto sibling = [&](NodeId id) {
        auto* reg = as_register(map, id);
        if (reg == nullptr || reg->common.addresses != w.addresses ||
            reg->common.length != w.length) {
            return false;
        }
        reg->common.cache.reset();
        return true;
    };
    for (NodeId id = written; id > 0 && sibling(id - 1); --id) {
    }
    for (NodeId id = written + 1; id < map.size() && sibling(id); ++id) {
    }
}

// The byte count of a typed write: the length reference itself, so a register without Length
// fails (UnsupportedAccess "<value reference>").
GenicamResult<int64_t> write_length(Genicam& map, PortIo& port, NodeId id) {
    const ValueRef length = as_register(map, id)->common.length;
    return ref_int(map, port, length);
}

}  // namespace

GenicamResult<RegisterLocation> register_address(Genicam& map, PortIo& port, NodeId id) {
    if (as_register(map, id) == nullptr) {
        return Err{unsupported(map, id)};
    }
    // Terms are read by index and copied before each evaluation: evaluating one may update
    // other parts of the map while this register's record stays where it is.
    uint64_t address = 0;
    for (size_t i = 0;; ++i) {
        const auto& terms = as_register(map, id)->common.addresses;
        if (i >= terms.size()) {
            break;
        }
        const ValueRef term = terms[i];
        address += static_cast<uint64_t>(CVK_TRY(ref_int(map, port, term)));
    }
    const ValueRef length = as_register(map, id)->common.length;
    const int64_t len = length.is_none() ? 4 : CVK_TRY(ref_int(map, port, length));
    // Indexed terms (a selector picks one of a table of equal registers): index × offset, the
    // offset defaulting to the register's length.
    for (size_t i = 0;; ++i) {
        const auto& indexes = as_register(map, id)->common.indexes;
        if (i >= indexes.size()) {
            break;
        }
        const IndexTerm term = indexes[i];
        const int64_t index = CVK_TRY(ref_int(map, port, term.index));
        const int64_t offset =
            term.offset.is_none() ? len : CVK_TRY(ref_int(map, port, term.offset));
        address += static_cast<uint64_t>(index) * static_cast<uint64_t>(offset);
    }
    return RegisterLocation{static_cast<int64_t>(address), len};
}

namespace {

// The device's address space is 32 bits wide. Descriptions shared with other transports place
// some registers above it (a file-access base of 0xffffd0000000, say); on this port only the low
// 32 bits address anything, so those are used rather than failing the feature.
uint64_t device_address(const Genicam& map, NodeId id, int64_t address) {
    const auto a = static_cast<uint64_t>(address);
    if (a <= 0xFFFF'FFFFu) {
        return a;
    }
    CVK_LOG(log::Level::Debug, kTarget, log::fields("node", map.name(id), "address", a),
            "register address beyond 32 bits; using its low 32 bits");
    return a & 0xFFFF'FFFFu;
}

// Where a register's bytes lie on the device. A location computed from device values (a
// selector outside the range its address formula covers yields a sentinel such as 0xffffffff)
// may run past the end of the address space; no request can address that, so the feature fails
// with its own name rather than as a malformed request.
GenicamResult<uint64_t> device_range(const Genicam& map, NodeId id, const RegisterLocation& loc) {
    const uint64_t start = device_address(map, id, loc.address);
    if (start + static_cast<uint64_t>(loc.length) > (uint64_t{1} << 32)) {
        return Err{codec_error(map, id,
                               fmt::format("register at {:#x} ({} bytes) runs past the 32-bit "
                                           "address space",
                                           start, loc.length))};
    }
    return start;
}

// A register the description marks as not implemented or not available in the device's present
// state has no meaningful location: vendors point such registers at a sentinel (0xffffffff for
// the selector values a model lacks). Its access is refused without reaching the device. A
// predicate that cannot be read does not refuse the access (the device may still answer).
Status<GenicamError> check_present(Genicam& map, PortIo& port, NodeId id) {
    const NodeMeta& meta = map.at(id).meta;
    for (const ValueRef* predicate : {&meta.is_implemented, &meta.is_available}) {
        if (predicate->is_none()) {
            continue;
        }
        const ValueRef ref = *predicate;  // the evaluation may touch the node table
        if (auto v = ref_int(map, port, ref); v.ok() && *v == 0) {
            return Err{GenicamError::not_accessible(map.name(id))};
        }
    }
    return {};
}

// The feature being read or written: the outermost node of the evaluation under way (the one the
// caller named), else the register itself.
const std::string& feature_name(const Genicam& map, NodeId id) {
    return map.stack().empty() ? map.name(id) : map.name(map.stack().front());
}

// Why a register on a chunk, event or other data port cannot be reached through `port`.
GenicamError not_device_memory(const Genicam& map, NodeId id, const RegisterPort& where) {
    const std::string& name = feature_name(map, id);
    switch (where.kind) {
        case PortKind::Chunk:
            return GenicamError::port_data(
                name, "chunk data: read it from a frame with corvisk.chunks(frame, cam)");
        case PortKind::Event:
            return GenicamError::port_data(
                name, "event data: read it from an event's features with corvisk.events(cam)");
        case PortKind::Other:
        case PortKind::Device:
            break;
    }
    const std::string port = where.port ? map.name(*where.port) : std::string();
    return GenicamError::port_data(
        name, fmt::format("data of port '{}', which is not the device's and whose chunk or event "
                          "id cannot be read",
                          port));
}

// A register on a data port, read from the data view's buffer for its id.
GenicamResult<Bytes> data_read(Genicam& map, PortIo& port, NodeId id, const RegisterPort& where) {
    const auto* view = dynamic_cast<const DataView*>(&port);
    const std::span<const uint8_t>* data = view ? view->find(where.kind, where.data_id) : nullptr;
    if (data == nullptr) {
        return Err{not_device_memory(map, id, where)};
    }
    CVK_TRY_VOID(check_present(map, port, id));
    const RegisterLocation loc = CVK_TRY(register_address(map, port, id));
    if (loc.length < 0 || loc.length > kMaxRegisterLength) {
        return Err{codec_error(map, id, fmt::format("unsupported register length {}", loc.length))};
    }
    const auto start = static_cast<uint64_t>(loc.address);
    const auto length = static_cast<uint64_t>(loc.length);
    if (start > data->size() || length > data->size() - start) {
        return Err{GenicamError::port_data(
            map.name(id),
            fmt::format("outside its data: {} bytes at {:#x}, past the {} bytes of "
                        "{} id {:#x}",
                        length, start, data->size(), to_string(where.kind), where.data_id))};
    }
    return Bytes(data->begin() + static_cast<ptrdiff_t>(start),
                 data->begin() + static_cast<ptrdiff_t>(start + length));
}

}  // namespace

const std::span<const uint8_t>* DataView::find(PortKind kind, uint64_t id) const {
    if (kind != kind_) {
        return nullptr;
    }
    const auto it = buffers_.find(id);
    return it == buffers_.end() ? nullptr : &it->second;
}

// Device registers are not part of the data a frame or an event carries.
CameraResult<void> DataView::read(uint64_t, std::span<uint8_t>) {
    return Err{CameraError::unsupported("device memory through chunk or event data")};
}

CameraResult<void> DataView::write(uint64_t, std::span<const uint8_t>) {
    return Err{CameraError::unsupported("device memory through chunk or event data")};
}

GenicamResult<Bytes> register_read(Genicam& map, PortIo& port, NodeId id) {
    const auto* reg = as_register(map, id);
    if (reg == nullptr) {
        return Err{unsupported(map, id)};
    }
    if (reg->common.access == AccessMode::WO) {
        return Err{GenicamError::not_accessible(map.name(id))};
    }
    if (const RegisterPort where = register_port(map, id); where.kind != PortKind::Device) {
        return data_read(map, port, id, where);
    }
    if (const Bytes* cached = servable_cache(reg->common)) {
        return *cached;
    }
    CVK_TRY_VOID(check_present(map, port, id));
    const RegisterLocation loc = CVK_TRY(register_address(map, port, id));
    if (loc.length < 0 || loc.length > kMaxRegisterLength) {
        return Err{codec_error(map, id, fmt::format("unsupported register length {}", loc.length))};
    }
    const uint64_t start = CVK_TRY(device_range(map, id, loc));
    Bytes bytes(static_cast<size_t>(loc.length), 0);
    if (auto r = port.read(start, bytes); !r.ok()) {
        return Err{GenicamError(std::move(r).error())};
    }
    auto& common = as_register(map, id)->common;
    if (common.cachable != Cachable::NoCache) {
        common.cache = bytes;
    }
    return bytes;
}

Status<GenicamError> register_write(Genicam& map, PortIo& port, NodeId id,
                                    std::span<const uint8_t> bytes) {
    const auto* reg = as_register(map, id);
    if (reg == nullptr) {
        return Err{unsupported(map, id)};
    }
    if (reg->common.access == AccessMode::RO) {
        return Err{GenicamError::not_accessible(map.name(id))};
    }
    if (const RegisterPort where = register_port(map, id); where.kind != PortKind::Device) {
        if (dynamic_cast<const DataView*>(&port) != nullptr) {
            return Err{GenicamError::not_accessible(map.name(id))};  // the data is read-only
        }
        return Err{not_device_memory(map, id, where)};
    }
    CVK_TRY_VOID(check_present(map, port, id));
    const RegisterLocation loc = CVK_TRY(register_address(map, port, id));
    const uint64_t start = CVK_TRY(device_range(map, id, loc));
    if (auto r = port.write(start, bytes); !r.ok()) {
        return Err{GenicamError(std::move(r).error())};
    }
    auto& common = as_register(map, id)->common;
    if (common.cachable == Cachable::WriteThrough) {
        common.cache = Bytes(bytes.begin(), bytes.end());
    } else {
        common.cache.reset();
    }
    drop_struct_siblings(map, id);
    // One level: the listed nodes' caches go, their own dependents are not followed. The nodes
    // the write came through (Width above WidthReg, say) count as written too.
    drop_invalidated_by(map, id);
    for (const NodeId via : map.stack()) {
        if (via != id) {
            drop_invalidated_by(map, via);
        }
    }
    if (common.cachable == Cachable::WriteThrough) {
        // An invalidator naming the register itself must not undo the write-through.
        common.cache = Bytes(bytes.begin(), bytes.end());
    }
    return {};
}

GenicamResult<int64_t> read_int_register(Genicam& map, PortIo& port, NodeId id) {
    const auto* reg = as_register(map, id);
    const auto* kind = reg != nullptr ? std::get_if<IntKind>(&reg->kind) : nullptr;
    if (kind == nullptr) {
        return Err{unsupported(map, id)};
    }
    const IntField field = field_of(*kind);
    // Decoding straight from the cache keeps a cached feature read free of allocations.
    if (const Bytes* cached = servable_cache(reg->common);
        cached != nullptr && reg->common.access != AccessMode::WO) {
        auto v = decode_int(*cached, field);
        if (!v.ok()) {
            return Err{codec_error(map, id, std::move(v).error())};
        }
        return *v;
    }
    const Bytes bytes = CVK_TRY(register_read(map, port, id));
    auto v = decode_int(bytes, field);
    if (!v.ok()) {
        return Err{codec_error(map, id, std::move(v).error())};
    }
    return *v;
}

Status<GenicamError> write_int_register(Genicam& map, PortIo& port, NodeId id, int64_t value) {
    const auto* reg = as_register(map, id);
    const auto* kind = reg != nullptr ? std::get_if<IntKind>(&reg->kind) : nullptr;
    if (kind == nullptr) {
        return Err{unsupported(map, id)};
    }
    const IntField field = field_of(*kind);
    const int64_t length = CVK_TRY(write_length(map, port, id));
    CodecResult<Bytes> encoded = Bytes{};
    if (!field.lsb && !field.msb) {
        encoded = encode_int(value, length, field.big_endian);
    } else {
        const Bytes old = CVK_TRY(register_read(map, port, id));
        encoded = insert_int(old, value, field);
    }
    if (!encoded.ok()) {
        return Err{codec_error(map, id, std::move(encoded).error())};
    }
    return register_write(map, port, id, *encoded);
}

GenicamResult<double> read_float_register(Genicam& map, PortIo& port, NodeId id) {
    const auto* reg = as_register(map, id);
    const auto* kind = reg != nullptr ? std::get_if<FloatKind>(&reg->kind) : nullptr;
    if (kind == nullptr) {
        return Err{unsupported(map, id)};
    }
    const bool big_endian = kind->big_endian;
    const Bytes bytes = CVK_TRY(register_read(map, port, id));
    auto v = decode_float(bytes, big_endian);
    if (!v.ok()) {
        return Err{codec_error(map, id, std::move(v).error())};
    }
    return *v;
}

Status<GenicamError> write_float_register(Genicam& map, PortIo& port, NodeId id, double value) {
    const auto* reg = as_register(map, id);
    const auto* kind = reg != nullptr ? std::get_if<FloatKind>(&reg->kind) : nullptr;
    if (kind == nullptr) {
        return Err{unsupported(map, id)};
    }
    const bool big_endian = kind->big_endian;
    const int64_t length = CVK_TRY(write_length(map, port, id));
    auto encoded = encode_float(value, length, big_endian);
    if (!encoded.ok()) {
        return Err{codec_error(map, id, std::move(encoded).error())};
    }
    return register_write(map, port, id, *encoded);
}

GenicamResult<std::string> read_string_register(Genicam& map, PortIo& port, NodeId id) {
    const auto* reg = as_register(map, id);
    if (reg == nullptr || !std::holds_alternative<StringKind>(reg->kind)) {
        return Err{unsupported(map, id)};
    }
    const Bytes bytes = CVK_TRY(register_read(map, port, id));
    return decode_string(bytes);
}

Status<GenicamError> write_string_register(Genicam& map, PortIo& port, NodeId id,
                                           std::string_view text) {
    const auto* reg = as_register(map, id);
    if (reg == nullptr || !std::holds_alternative<StringKind>(reg->kind)) {
        return Err{unsupported(map, id)};
    }
    const int64_t length = CVK_TRY(write_length(map, port, id));
    auto encoded = encode_string(text, length);
    if (!encoded.ok()) {
        return Err{codec_error(map, id, std::move(encoded).error())};
    }
    return register_write(map, port, id, *encoded);
}

}  // namespace corvisk::genicam
