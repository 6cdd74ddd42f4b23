// Fuzz target: builds a node map from arbitrary XML and runs every feature read and write on
// every node against an in-memory device, checking that each ends cleanly with an empty
// evaluation stack (no crash, hang or unbounded recursion whatever the description says).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "genicam/port.hpp"
#include "genicam/value.hpp"
#include "genicam/xml_builder.hpp"

using namespace corvisk;
using namespace corvisk::genicam;

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Every byte reads as a mix of its address; writes are accepted and forgotten; addresses in
// one page fail, so transport errors are exercised too.
class FakeDevice : public PortIo {
  public:
    CameraResult<void> read(uint64_t address, std::span<uint8_t> buffer) override {
        if ((address >> 12) == 0xDEAD) {
            return Err{CameraError::ack_timeout()};
        }
        for (size_t i = 0; i < buffer.size(); ++i) {
            buffer[i] = static_cast<uint8_t>((address + i) * 0x9E3779B1u >> 24);
        }
        return {};
    }
    CameraResult<void> write(uint64_t address, std::span<const uint8_t>) override {
        if ((address >> 12) == 0xDEAD) {
            return Err{CameraError::ack_timeout()};
        }
        return {};
    }
};

template <class R>
void settle(const R& r, const Genicam& map) {
    check(map.stack().empty());
    if (!r.ok()) {
        check(!r.error().message().empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    xml::Limits limits;
    limits.max_nodes = 2'000;
    limits.max_entity_work = 100'000;
    auto parsed = xml::parse(text, limits);
    if (!parsed.ok()) {
        return 0;
    }
    Genicam& map = *parsed;
    FakeDevice port;
    const auto n = static_cast<NodeId>(map.size());
    for (NodeId id = 0; id < n; ++id) {
        const std::string name = map.name(id);
        settle(get_integer(map, port, name), map);
        settle(get_float(map, port, name), map);
        settle(get_boolean(map, port, name), map);
        settle(get_string(map, port, name), map);
        settle(get_enum(map, port, name), map);
        settle(enum_entries(map, name), map);
        settle(integer_bounds(map, port, name), map);
        settle(float_bounds(map, port, name), map);
        settle(integer_increment(map, port, name), map);
        settle(access_mode(map, name), map);
    }
    for (NodeId id = 0; id < n; ++id) {
        const std::string name = map.name(id);
        settle(set_integer(map, port, name, static_cast<int64_t>(id) - 3), map);
        settle(set_float(map, port, name, 0.5 * id), map);
        settle(set_boolean(map, port, name, (id & 1) != 0), map);
        settle(set_string(map, port, name, "fuzz"), map);
        settle(execute(map, port, name), map);
    }
    invalidate_caches(map);
    return 0;
}
