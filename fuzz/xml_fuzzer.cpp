// Fuzz target: builds a node map from arbitrary XML and checks the map's invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "genicam/xml_builder.hpp"

using namespace corvisk::genicam;

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    xml::Limits limits;
    limits.max_nodes = 20'000;
    limits.max_entity_work = 200'000;
    auto map = xml::parse(text, limits);
    if (!map.ok()) {
        check(map.error().kind() == corvisk::GenicamError::Kind::DeviceDescription);
        return 0;
    }
    // Every resolved link points into the map; every name finds a node of that name; the
    // default nodes are present; the invalidation index only names real nodes.
    const size_t n = map->size();
    check(map->find("TLParamsLocked").has_value());
    check(map->find("GevSCPSPacketSize").has_value());
    check(map->find("GevTimestampTickFrequency").has_value());
    for (NodeId id = 0; id < n; ++id) {
        auto& node = map->at(id);
        const auto found = map->find(node.name);
        check(found.has_value() && map->name(*found) == node.name);
        for_each_link(node.node, [&](Link& l) { check(!l.is_resolved() || l.id() < n); });
        for (const NodeId dep : map->invalidated_by(id)) {
            check(dep < n);
        }
    }
    check(map->stack().empty());
    return 0;
}
