// Node map: name index, re-entry guard with its depth bound, invalidation index, link order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "genicam/node.hpp"

using namespace corvisk;
using namespace corvisk::genicam;

namespace {

Node integer_const(int64_t v) {
    return IntegerNode{ValueRef::integer(v), {}, {}, {}};
}

Node int_register() {
    RegisterNode r;
    r.common.addresses.push_back(ValueRef::integer(0x100));
    r.kind = IntKind{};
    return r;
}

}  // namespace

TEST(NodeMapTest, LaterDefinitionWinsLookupButEarlierNodeStays) {
    Genicam map;
    const NodeId first = map.push("Width", integer_const(1));
    const NodeId other = map.push("Height", integer_const(2));
    const NodeId second = map.push("Width", integer_const(3));
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(other, 1u);
    EXPECT_EQ(second, 2u);
    EXPECT_EQ(map.find("Width"), second);
    EXPECT_EQ(map.find("width"), std::nullopt);
    EXPECT_EQ(std::get<IntegerNode>(map.at(first).node).value.int_value(), 1);
    EXPECT_EQ(map.node_names(), (std::vector<std::string>{"Width", "Height", "Width"}));

    auto missing = map.lookup("Gain");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message(), "feature 'Gain' not found");
}

TEST(NodeMapTest, ReentryGuardCatchesCyclesAndEmptiesTheStack) {
    Genicam map;
    const NodeId a = map.push("A", integer_const(0));
    const NodeId b = map.push("B", integer_const(0));
    ASSERT_TRUE(map.enter(a).ok());
    ASSERT_TRUE(map.enter(b).ok());
    auto again = map.enter(a);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().message(), "circular reference through 'A'");
    EXPECT_TRUE(map.stack().empty());
    map.leave();  // popping an empty stack is harmless
    EXPECT_TRUE(map.stack().empty());

    // guarded() leaves after failure too, and does not run f when enter fails.
    auto r = map.guarded(a, [&]() -> GenicamResult<int> {
        EXPECT_EQ(map.stack().size(), 1u);
        return Err{GenicamError::unsupported_access("A")};
    });
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(map.stack().empty());
}

TEST(NodeMapTest, ReentryGuardBoundsChainDepth) {
    Genicam map;
    std::vector<NodeId> ids;
    for (size_t i = 0; i <= Genicam::kMaxDepth; ++i) {
        ids.push_back(map.push("N" + std::to_string(i), integer_const(0)));
    }
    for (size_t i = 0; i < Genicam::kMaxDepth; ++i) {
        ASSERT_TRUE(map.enter(ids[i]).ok()) << i;
    }
    auto deep = map.enter(ids.back());
    ASSERT_FALSE(deep.ok());
    EXPECT_EQ(deep.error().kind(), GenicamError::Kind::DeviceDescription);
    EXPECT_EQ(deep.error().message(),
              "device description: reference chain through 'N256' is deeper than 256 nodes");
    EXPECT_TRUE(map.stack().empty());
}

TEST(NodeMapTest, InvalidationIndexAndCacheDrop) {
    Genicam map;
    const NodeId a = map.push("A", int_register());
    const NodeId b = map.push("B", int_register());
    const NodeId c = map.push("C", integer_const(0));
    map.add_invalidation(a, b);
    map.add_invalidation(a, c);
    EXPECT_EQ(std::vector<NodeId>(map.invalidated_by(a).begin(), map.invalidated_by(a).end()),
              (std::vector<NodeId>{b, c}));
    EXPECT_TRUE(map.invalidated_by(b).empty());

    std::get<RegisterNode>(map.at(a).node).common.cache = std::vector<uint8_t>{1, 2, 3, 4};
    std::get<RegisterNode>(map.at(b).node).common.cache = std::vector<uint8_t>{5};
    map.drop_all_caches();
    EXPECT_FALSE(std::get<RegisterNode>(map.at(a).node).common.cache.has_value());
    EXPECT_FALSE(std::get<RegisterNode>(map.at(b).node).common.cache.has_value());
}

TEST(NodeModelTest, LinksAreVisitedInResolutionOrder) {
    RegisterNode r;
    r.common.addresses = {ValueRef::integer(0x1000), ValueRef::node(Link::name("Base")),
                          ValueRef::node(Link::resolved(7))};
    r.common.length = ValueRef::node(Link::name("Len"));
    Node n = r;
    std::vector<std::string> seen;
    for_each_link(n, [&](Link& l) {
        seen.push_back(l.is_resolved() ? "#" + std::to_string(l.id()) : l.name());
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"Base", "#7", "Len"}));

    Node conv = ConverterNode{ValueRef::node(Link::name("Raw")),
                              {},
                              {},
                              {{"X", Link::name("VX")}, {"Y", Link::name("VY")}}};
    seen.clear();
    for_each_link(conv, [&](Link& l) { seen.push_back(l.name()); });
    EXPECT_EQ(seen, (std::vector<std::string>{"Raw", "VX", "VY"}));
}

TEST(NodeModelTest, EnumNumbersAndPredicates) {
    EXPECT_EQ(static_cast<int>(AccessMode::RO), 0);
    EXPECT_EQ(static_cast<int>(AccessMode::WO), 1);
    EXPECT_EQ(static_cast<int>(AccessMode::RW), 2);
    EXPECT_EQ(static_cast<int>(Cachable::WriteAround), 2);
    EXPECT_STREQ(to_string(AccessMode::WO), "WO");
    EXPECT_EQ(kind_of(Node{PortNode{}}), NodeKind::Port);
    EXPECT_STREQ(to_string(NodeKind::SwissKnife), "SwissKnife");
    EXPECT_EQ(static_cast<int>(ValueRef::node(Link::resolved(1)).tag()), 4);
    EXPECT_TRUE(is_float_valued(Node{FloatNode{}}));
    EXPECT_TRUE(is_float_valued(Node{RegisterNode{{}, FloatKind{true}}}));
    EXPECT_FALSE(is_float_valued(Node{RegisterNode{{}, IntKind{}}}));
    EXPECT_FALSE(is_float_valued(integer_const(1)));
}
