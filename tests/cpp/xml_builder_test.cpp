// XML builder: node elements, value references, registers, defaults, links, invalidators, and
// hostile documents (external entities, entity amplification, size and nesting limits).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "genicam/xml_builder.hpp"

using namespace corvisk;
using namespace corvisk::genicam;

namespace {

std::string doc(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<RegisterDescription>" + body +
           "</RegisterDescription>";
}

Genicam build(const std::string& text, const xml::Limits& limits = xml::Limits{}) {
    auto r = xml::parse(text, limits);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? std::move(r).value() : Genicam{};
}

template <class T>
const T& node_as(const Genicam& map, std::string_view name) {
    const auto id = map.find(name);
    EXPECT_TRUE(id.has_value()) << name;
    static const T empty{};
    if (!id) {
        return empty;
    }
    const T* n = std::get_if<T>(&map.at(*id).node);
    EXPECT_NE(n, nullptr) << name << " is a " << to_string(kind_of(map.at(*id).node));
    return n != nullptr ? *n : empty;
}

ValueRef resolved(const Genicam& map, std::string_view name) {
    return ValueRef::node(Link::resolved(*map.find(name)));
}

std::string failure(const std::string& text, const xml::Limits& limits = xml::Limits{}) {
    auto r = xml::parse(text, limits);
    EXPECT_FALSE(r.ok());
    if (r.ok()) {
        return "";
    }
    EXPECT_EQ(r.error().kind(), GenicamError::Kind::DeviceDescription);
    return r.error().message();
}

// A temporary host file removed at the end of the test.
struct TempFile {
    explicit TempFile(const std::string& content) {
        char tmpl[] = "/tmp/corvisk-xxe-XXXXXX";
        const int fd = mkstemp(tmpl);
        EXPECT_GE(fd, 0);
        path = tmpl;
        EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        close(fd);
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

}  // namespace

TEST(XmlBuilderTest, GroupsAreTransparentAndCategoryChildrenAreNotNodes) {
    const Genicam map = build(doc(R"(
        <Category Name="Root"><pFeature>Width</pFeature><ToolTip>x</ToolTip>
          <pFeature>  Missing </pFeature><pFeature/></Category>
        <Group Comment="outer"><Group><Integer Name="Width"><Value>640</Value></Integer></Group>
          <Port Name="Device"/></Group>
        <!-- a comment --><?pi ignored?><UnknownThing Name="U"/>)"));
    EXPECT_EQ(map.node_names(),
              (std::vector<std::string>{"Root", "Width", "Device", "TLParamsLocked",
                                        "GevSCPSPacketSize", "GevTimestampTickFrequency"}));
    const auto& root = node_as<CategoryNode>(map, "Root");
    ASSERT_EQ(root.features.size(), 2u);
    EXPECT_EQ(root.features[0], Link::resolved(*map.find("Width")));
    EXPECT_EQ(root.features[1], Link::name("Missing"));
    EXPECT_EQ(node_as<IntegerNode>(map, "Width").value, ValueRef::integer(640));
    EXPECT_EQ(kind_of(map.at(*map.find("Device")).node), NodeKind::Port);
}

TEST(XmlBuilderTest, AnonymousElementsGetNumberedNames) {
    const Genicam map = build(doc(R"(<Integer><Value>1</Value></Integer>
        <Integer><Value>2</Value></Integer><IntReg><Address>4</Address></IntReg>)"));
    EXPECT_EQ(map.name(0), "__anonymous_Integer_1");
    EXPECT_EQ(map.name(1), "__anonymous_Integer_2");
    EXPECT_EQ(map.name(2), "__anonymous_IntReg_3");
}

TEST(XmlBuilderTest, ValueReferencesFromNumberTexts) {
    const Genicam map = build(doc(R"(
        <Integer Name="I"><Value> 0xFFFFFFFFFFFFFFFF </Value><Min>-5</Min><Max>abc</Max>
          <Inc>0X10</Inc></Integer>
        <Integer Name="P"><Value>7</Value><pValue>I</pValue><pMax>Nowhere</pMax></Integer>
        <Integer Name="Empty"><Value/><Min>  </Min></Integer>
        <Float Name="F1"><Value>0x10</Value><Min>1e3</Min><Max>10</Max></Float>
        <Float Name="F2"><Value>-inf</Value><Min>zz</Min><pMax>I</pMax></Float>
        <Integer Name="Twice"><Value>1</Value><Value>2</Value></Integer>)"));
    const auto& i = node_as<IntegerNode>(map, "I");
    EXPECT_EQ(i.value, ValueRef::integer(-1));
    EXPECT_EQ(i.min, ValueRef::integer(-5));
    EXPECT_TRUE(i.max.is_none());
    EXPECT_EQ(i.inc, ValueRef::integer(16));

    const auto& p = node_as<IntegerNode>(map, "P");
    EXPECT_EQ(p.value, resolved(map, "I"));  // the p-form wins
    EXPECT_EQ(p.max, ValueRef::node(Link::name("Nowhere")));

    const auto& e = node_as<IntegerNode>(map, "Empty");
    EXPECT_TRUE(e.value.is_none());
    EXPECT_TRUE(e.min.is_none());

    const auto& f1 = node_as<FloatNode>(map, "F1");
    EXPECT_EQ(f1.value, ValueRef::integer(16));
    EXPECT_EQ(f1.min, ValueRef::real(1000.0));
    EXPECT_EQ(f1.max, ValueRef::real(10.0));
    const auto& f2 = node_as<FloatNode>(map, "F2");
    EXPECT_EQ(f2.value, ValueRef::real(-INFINITY));
    EXPECT_TRUE(f2.min.is_none());
    EXPECT_EQ(f2.max, resolved(map, "I"));

    EXPECT_EQ(node_as<IntegerNode>(map, "Twice").value, ValueRef::integer(1));
}

TEST(XmlBuilderTest, BooleanCommandStringEnumerationNodes) {
    const Genicam map = build(doc(R"(
        <Boolean Name="B1"><pValue>Reg</pValue></Boolean>
        <Boolean Name="B2"><Value>3</Value><OnValue>3</OnValue><OffValue>0x2</OffValue></Boolean>
        <Command Name="C"><pValue>Reg</pValue><CommandValue>0x5</CommandValue></Command>
        <String Name="S1"><Value> text </Value><pValue>S2</pValue></String>
        <String Name="S2"><Value>plain</Value></String>
        <String Name="S3"/>
        <Enumeration Name="Mode"><pValue>Reg</pValue>
          <EnumEntry Name="Continuous"><Value>0</Value></EnumEntry>
          <EnumEntry Name="Broken"><Value>x</Value></EnumEntry>
          <EnumEntry><Value>5</Value></EnumEntry>
          <EnumEntry Name="SingleFrame"><Value>0x1</Value></EnumEntry></Enumeration>
        <IntReg Name="Reg"><Address>0</Address></IntReg>)"));
    const auto& b1 = node_as<BooleanNode>(map, "B1");
    EXPECT_EQ(b1.value, resolved(map, "Reg"));
    EXPECT_EQ(b1.on_value, 1);
    EXPECT_EQ(b1.off_value, 0);
    const auto& b2 = node_as<BooleanNode>(map, "B2");
    EXPECT_EQ(b2.value, ValueRef::integer(3));
    EXPECT_EQ(b2.on_value, 3);
    EXPECT_EQ(b2.off_value, 2);
    const auto& c = node_as<CommandNode>(map, "C");
    EXPECT_EQ(c.value, resolved(map, "Reg"));
    EXPECT_EQ(c.command_value, ValueRef::integer(5));
    EXPECT_EQ(node_as<StringNode>(map, "S1").value, resolved(map, "S2"));
    EXPECT_EQ(node_as<StringNode>(map, "S2").value, ValueRef::text("plain"));
    EXPECT_TRUE(node_as<StringNode>(map, "S3").value.is_none());
    const auto& mode = node_as<EnumerationNode>(map, "Mode");
    EXPECT_EQ(mode.value, resolved(map, "Reg"));
    EXPECT_EQ(mode.entries, (std::vector<EnumEntry>{{"Continuous", 0}, {"SingleFrame", 1}}));
}

TEST(XmlBuilderTest, RegisterKindsAndCommonFields) {
    const Genicam map = build(doc(R"(
        <IntReg Name="I"><Address>0x10</Address><Length>2</Length><Sign>Signed</Sign>
          <Endianess>BigEndian</Endianess><AccessMode>RO</AccessMode>
          <Cachable>WriteThrough</Cachable></IntReg>
        <IntReg Name="U"><Address>0x14</Address><Sign>signed</Sign><AccessMode>ro</AccessMode>
          <Endianess>LittleEndian</Endianess></IntReg>
        <MaskedIntReg Name="M"><Address>0</Address><Bit>3</Bit><pLength>I</pLength>
          <AccessMode>WO</AccessMode><Cachable>NoCache</Cachable></MaskedIntReg>
        <MaskedIntReg Name="M2"><Address>0</Address><Bit>3</Bit><LSB>0x100000002</LSB></MaskedIntReg>
        <MaskedIntReg Name="M3"><Address>0</Address><MSB>7</MSB></MaskedIntReg>
        <FloatReg Name="F"><Address>8</Address><Length>8</Length><Endianess>BigEndian</Endianess></FloatReg>
        <StringReg Name="S"><Address>0x20</Address><Length>16</Length></StringReg>
        <Register Name="R"><Address>0x40</Address><Length>4</Length></Register>)"));
    const auto& i = node_as<RegisterNode>(map, "I");
    EXPECT_EQ(i.common.addresses, (std::vector<ValueRef>{ValueRef::integer(0x10)}));
    EXPECT_EQ(i.common.length, ValueRef::integer(2));
    EXPECT_EQ(i.common.access, AccessMode::RO);
    EXPECT_EQ(i.common.cachable, Cachable::WriteThrough);
    EXPECT_FALSE(i.common.cache.has_value());
    EXPECT_EQ(std::get<IntKind>(i.kind), (IntKind{std::nullopt, std::nullopt, false, true}));

    const auto& u = node_as<RegisterNode>(map, "U");
    EXPECT_TRUE(u.common.length.is_none());
    EXPECT_EQ(u.common.access, AccessMode::RW);
    EXPECT_EQ(u.common.cachable, Cachable::WriteAround);
    EXPECT_EQ(std::get<IntKind>(u.kind), (IntKind{std::nullopt, std::nullopt, true, false}));

    const auto& m = node_as<RegisterNode>(map, "M");
    EXPECT_EQ(m.common.length, resolved(map, "I"));
    EXPECT_EQ(m.common.access, AccessMode::WO);
    EXPECT_EQ(m.common.cachable, Cachable::NoCache);
    EXPECT_EQ(std::get<IntKind>(m.kind), (IntKind{3u, 3u, true, false}));
    EXPECT_EQ(std::get<IntKind>(node_as<RegisterNode>(map, "M2").kind),
              (IntKind{2u, 3u, true, false}));  // LSB wins over Bit; low 32 bits kept
    EXPECT_EQ(std::get<IntKind>(node_as<RegisterNode>(map, "M3").kind),
              (IntKind{std::nullopt, 7u, true, false}));
    EXPECT_EQ(std::get<FloatKind>(node_as<RegisterNode>(map, "F").kind), FloatKind{true});
    EXPECT_TRUE(std::holds_alternative<StringKind>(node_as<RegisterNode>(map, "S").kind));
    EXPECT_TRUE(std::holds_alternative<RawKind>(node_as<RegisterNode>(map, "R").kind));
}

TEST(XmlBuilderTest, AddressTermsKeepDocumentOrderWithEmbeddedSwissKnife) {
    const Genicam map = build(doc(R"(
        <Integer Name="Base"><Value>0x100</Value></Integer>
        <IntReg Name="Reg"><Address>0x1000</Address><pAddress>Base</pAddress>
          <Address>bogus</Address>
          <IntSwissKnife><pVariable Name="X">Base</pVariable><Formula>X * 4</Formula></IntSwissKnife>
          <pAddress>Later</pAddress></IntReg>)"));
    const NodeId reg = *map.find("Reg");
    const NodeId knife = *map.find("__anonymous_IntSwissKnife_1");
    EXPECT_LT(knife, reg);
    const auto& r = node_as<RegisterNode>(map, "Reg");
    EXPECT_EQ(r.common.addresses,
              (std::vector<ValueRef>{ValueRef::integer(0x1000), resolved(map, "Base"),
                                     ValueRef::node(Link::resolved(knife)),
                                     ValueRef::node(Link::name("Later"))}));
    const auto& k = std::get<SwissKnifeNode>(map.at(knife).node);
    EXPECT_EQ(k.formula.source, "X * 4");
    EXPECT_FALSE(k.formula.compiled.has_value());
    EXPECT_EQ(k.variables, (std::vector<Variable>{{"X", Link::resolved(*map.find("Base"))}}));
}

TEST(XmlBuilderTest, ConvertersAndSwissKnives) {
    const Genicam map = build(doc(R"(
        <Converter Name="Conv"><pVariable Name="K">Gain</pVariable><pVariable>NoName</pVariable>
          <pVariable Name="Empty"/>
          <FormulaTo>FROM * K</FormulaTo><FormulaFrom>TO / K</FormulaFrom><pValue>Raw</pValue></Converter>
        <IntConverter Name="IC"><Value>3</Value></IntConverter>
        <SwissKnife Name="SK"><pVariable Name="A">Raw</pVariable><pVariable Name="B">Ghost</pVariable></SwissKnife>
        <Integer Name="Gain"><Value>2</Value></Integer><IntReg Name="Raw"><Address>0</Address></IntReg>)"));
    const auto& c = node_as<ConverterNode>(map, "Conv");
    EXPECT_EQ(c.value, resolved(map, "Raw"));
    EXPECT_EQ(c.formula_to.source, "FROM * K");
    EXPECT_EQ(c.formula_from.source, "TO / K");
    EXPECT_EQ(c.variables, (std::vector<Variable>{{"K", Link::resolved(*map.find("Gain"))}}));
    const auto& ic = node_as<ConverterNode>(map, "IC");
    EXPECT_EQ(ic.value, ValueRef::integer(3));
    EXPECT_EQ(ic.formula_to.source, "");
    const auto& sk = node_as<SwissKnifeNode>(map, "SK");
    EXPECT_EQ(sk.formula.source, "");
    EXPECT_EQ(sk.variables, (std::vector<Variable>{{"A", Link::resolved(*map.find("Raw"))},
                                                   {"B", Link::name("Ghost")}}));
}

TEST(XmlBuilderTest, StructRegExpandsIntoEntryRegisters) {
    const Genicam map = build(doc(R"(
        <StructReg Name="Packed" Comment="x"><Address>0x200</Address><Length>4</Length>
          <AccessMode>RO</AccessMode><Endianess>BigEndian</Endianess><Sign>Signed</Sign>
          <StructEntry Name="Lo"><LSB>0</LSB><MSB>7</MSB></StructEntry>
          <StructEntry><Bit>9</Bit></StructEntry>
          <StructEntry Name="Hi"><Bit>31</Bit><AccessMode>RW</AccessMode><Sign>Unsigned</Sign>
            <Endianess>LittleEndian</Endianess><pInvalidator>Lo</pInvalidator></StructEntry>
        </StructReg>)"));
    EXPECT_FALSE(map.find("Packed").has_value());
    const auto& lo = node_as<RegisterNode>(map, "Lo");
    const auto& hi = node_as<RegisterNode>(map, "Hi");
    EXPECT_EQ(lo.common.addresses, (std::vector<ValueRef>{ValueRef::integer(0x200)}));
    EXPECT_EQ(hi.common.addresses, lo.common.addresses);
    EXPECT_EQ(hi.common.length, ValueRef::integer(4));
    EXPECT_EQ(lo.common.access, AccessMode::RO);
    EXPECT_EQ(hi.common.access, AccessMode::RW);
    EXPECT_EQ(std::get<IntKind>(lo.kind), (IntKind{0u, 7u, false, true}));
    EXPECT_EQ(std::get<IntKind>(hi.kind), (IntKind{31u, 31u, true, false}));
    const NodeId lo_id = *map.find("Lo");
    ASSERT_EQ(map.invalidated_by(lo_id).size(), 1u);
    EXPECT_EQ(map.invalidated_by(lo_id)[0], *map.find("Hi"));
}

TEST(XmlBuilderTest, InvalidatorsIndexKnownNamesOnly) {
    const Genicam map = build(doc(R"(
        <IntReg Name="Width"><Address>0x100</Address></IntReg>
        <IntReg Name="Payload"><Address>0x200</Address><pInvalidator>Width</pInvalidator>
          <pInvalidator>Unknown</pInvalidator><pInvalidator>Height</pInvalidator></IntReg>
        <IntReg Name="Height"><Address>0x104</Address></IntReg>
        <Integer Name="Other"><Value>1</Value><pInvalidator>Width</pInvalidator></Integer>)"));
    const NodeId payload = *map.find("Payload");
    const auto by_width = map.invalidated_by(*map.find("Width"));
    EXPECT_EQ(std::vector<NodeId>(by_width.begin(), by_width.end()),
              (std::vector<NodeId>{payload, *map.find("Other")}));
    const auto by_height = map.invalidated_by(*map.find("Height"));
    EXPECT_EQ(std::vector<NodeId>(by_height.begin(), by_height.end()),
              (std::vector<NodeId>{payload}));
    EXPECT_TRUE(map.invalidated_by(payload).empty());
}

TEST(XmlBuilderTest, DefaultNodesOnlyWhenAbsent) {
    const Genicam defaults = build(doc(""));
    const auto& tl = node_as<IntegerNode>(defaults, "TLParamsLocked");
    EXPECT_EQ(tl.value, ValueRef::integer(0));
    EXPECT_EQ(tl.min, ValueRef::integer(0));
    EXPECT_EQ(tl.max, ValueRef::integer(1));
    const auto& ps = node_as<RegisterNode>(defaults, "GevSCPSPacketSize");
    EXPECT_EQ(ps.common.addresses, (std::vector<ValueRef>{ValueRef::integer(0xd04)}));
    EXPECT_EQ(ps.common.length, ValueRef::integer(4));
    EXPECT_EQ(ps.common.cachable, Cachable::NoCache);
    EXPECT_EQ(std::get<IntKind>(ps.kind), (IntKind{31u, 16u, true, true}));
    const auto& tf = node_as<RegisterNode>(defaults, "GevTimestampTickFrequency");
    EXPECT_EQ(tf.common.addresses, (std::vector<ValueRef>{ValueRef::integer(0x93c)}));
    EXPECT_EQ(tf.common.length, ValueRef::integer(8));
    EXPECT_EQ(tf.common.access, AccessMode::RO);

    const Genicam own = build(doc(R"(<IntReg Name="TLParamsLocked"><Address>0x10</Address></IntReg>
        <Integer Name="User"><pValue>GevSCPSPacketSize</pValue></Integer>)"));
    EXPECT_EQ(own.find("TLParamsLocked"), 0u);
    EXPECT_EQ(own.size(), 4u);
    // Links to a default node resolve, although the default is added after the walk.
    EXPECT_EQ(node_as<IntegerNode>(own, "User").value, resolved(own, "GevSCPSPacketSize"));
}

TEST(XmlBuilderTest, DuplicateNamesResolveToTheLaterNode) {
    const Genicam map = build(doc(R"(<Integer Name="X"><Value>1</Value></Integer>
        <Integer Name="Y"><pValue>X</pValue></Integer><Integer Name="X"><Value>2</Value></Integer>)"));
    EXPECT_EQ(map.find("X"), 2u);
    EXPECT_EQ(node_as<IntegerNode>(map, "Y").value, ValueRef::node(Link::resolved(2)));
    EXPECT_EQ(std::get<IntegerNode>(map.at(0).node).value, ValueRef::integer(1));
}

TEST(XmlBuilderTest, NamespacesAndPrefixesAreIgnored) {
    const Genicam map = build(R"(<?xml version="1.0"?>
        <g:RegisterDescription xmlns:g="http://www.genicam.org/GenApi/Version_1_1"
            xmlns="http://www.genicam.org/GenApi/Version_1_1">
          <g:Integer Name="A"><g:Value>5</g:Value></g:Integer>
          <Integer Name="B"><Value>6</Value></Integer></g:RegisterDescription>)");
    EXPECT_EQ(node_as<IntegerNode>(map, "A").value, ValueRef::integer(5));
    EXPECT_EQ(node_as<IntegerNode>(map, "B").value, ValueRef::integer(6));
}

TEST(XmlBuilderTest, InternalEntitiesAndCdataExpandInPlace) {
    const Genicam map = build(R"(<?xml version="1.0"?>
        <!DOCTYPE RegisterDescription [
          <!ENTITY base "0x40">
          <!ENTITY regs "<Integer Name='FromEntity'><Value>&base;</Value></Integer>">
          <!ENTITY nm "Named">
        ]>
        <RegisterDescription>&regs;<String Name="&nm;"><Value><![CDATA[a<b]]></Value></String>
        </RegisterDescription>)");
    EXPECT_EQ(node_as<IntegerNode>(map, "FromEntity").value, ValueRef::integer(0x40));
    EXPECT_EQ(node_as<StringNode>(map, "Named").value, ValueRef::text("a<b"));
}

TEST(XmlBuilderTest, UnparsableXmlFailsWithTheParserMessage) {
    EXPECT_EQ(failure("").rfind("device description: ", 0), 0u);
    const std::string mismatch = failure("<a><b></a>");
    EXPECT_EQ(mismatch.rfind("device description: ", 0), 0u) << mismatch;
    EXPECT_NE(mismatch.find("line 1"), std::string::npos) << mismatch;
    EXPECT_NE(failure("<RegisterDescription>").find("device description: "), std::string::npos);
    EXPECT_NE(failure("not xml at all").find("device description: "), std::string::npos);
}

TEST(XmlBuilderHostileTest, ExternalEntitiesAreNeverRead) {
    const std::string secret = "CORVISK-XXE-SECRET-4417";
    const TempFile file(secret);
    const TempFile dtd("<!ENTITY leak \"" + secret + "\">");
    const std::vector<std::string> docs = {
        // External general entity naming a host file.
        "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY xxe SYSTEM \"file://" + file.path +
            "\">]><R><String Name=\"Leak\"><Value>&xxe;</Value></String></R>",
        // External parameter entity pulling in declarations.
        "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY % p SYSTEM \"file://" + dtd.path +
            "\"> %p;]><R><String Name=\"Leak\"><Value>&leak;</Value></String></R>",
        // External DTD subset.
        "<?xml version=\"1.0\"?><!DOCTYPE R SYSTEM \"file://" + dtd.path +
            "\"><R><String Name=\"Leak\"><Value>&leak;</Value></String></R>",
        // Plain path, and a network location (never contacted: NONET).
        "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY xxe SYSTEM \"" + file.path +
            "\">]><R><String Name=\"Leak\"><Value>x&xxe;</Value></String></R>",
        "<?xml version=\"1.0\"?><!DOCTYPE R SYSTEM \"http://127.0.4.9:9/x.dtd\">"
        "<R><String Name=\"Leak\"><Value>n</Value></String></R>",
    };
    for (const auto& text : docs) {
        SCOPED_TRACE(text);
        auto r = xml::parse(text);
        if (!r.ok()) {
            EXPECT_EQ(r.error().kind(), GenicamError::Kind::DeviceDescription);
            EXPECT_EQ(r.error().message().find(secret), std::string::npos);
            continue;
        }
        for (const auto& n : r->nodes()) {
            EXPECT_EQ(n.name.find(secret), std::string::npos);
            if (const auto* s = std::get_if<StringNode>(&n.node); s && s->value.is_str()) {
                EXPECT_EQ(s->value.str().find(secret), std::string::npos);
            }
        }
    }
}

TEST(XmlBuilderHostileTest, BillionLaughsFailsQuickly) {
    std::string text = "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY l0 \"lollollollol\">";
    for (int i = 1; i <= 9; ++i) {
        text += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) {
            text += "&l" + std::to_string(i - 1) + ";";
        }
        text += "\">";
    }
    const std::string in_text = text + "]><R><String Name=\"S\"><Value>&l9;</Value></String></R>";
    const std::string in_attr = text + "]><R><String Name=\"&l9;\"><Value>v</Value></String></R>";
    for (const auto& t : {in_text, in_attr}) {
        const auto start = std::chrono::steady_clock::now();
        const std::string msg = failure(t);
        EXPECT_EQ(msg.rfind("device description: ", 0), 0u) << msg;
        // Generous bound: a linear-time rejection takes milliseconds; expansion would take hours.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

TEST(XmlBuilderHostileTest, EntityAmplificationIsBoundedByTheWalk) {
    // Nested amplification is refused by libxml2 itself.
    std::string nested = "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY e0 \"<Port/>\">";
    for (int i = 1; i <= 8; ++i) {
        const std::string prev = "&e" + std::to_string(i - 1) + ";";
        nested += "<!ENTITY e" + std::to_string(i) + " \"" + prev + prev + prev + prev + "\">";
    }
    nested += "]><R>";
    for (int i = 0; i < 64; ++i) {
        nested += "<Group>&e8;</Group>";
    }
    nested += "</R>";
    EXPECT_EQ(failure(nested).rfind("device description: ", 0), 0u);

    // Flat repetition stays below libxml2's ratio checks; the walk's own budget counts every
    // node and text byte it visits inside entity content, whoever references it.
    std::string flat = "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY many \"";
    for (int i = 0; i < 100; ++i) {
        flat += "<Port/>";
    }
    flat += "\"><!ENTITY text \"" + std::string(5000, 'x') + "\">]><R>";
    std::string elements = flat, texts = flat;
    for (int i = 0; i < 20; ++i) {
        elements += "<Group>&many;</Group>";
        texts += "<String Name=\"S" + std::to_string(i) + "\"><Value>&text;</Value></String>";
    }
    elements += "</R>";
    texts += "</R>";
    xml::Limits tight;
    tight.max_entity_work = 1000;
    tight.max_nodes = 100'000;
    EXPECT_EQ(failure(elements, tight), "device description: entity expansion exceeds the limit");
    EXPECT_EQ(failure(texts, tight), "device description: entity expansion exceeds the limit");
    // Within the default budget the same documents build.
    EXPECT_EQ(build(elements).size(), 2000u + 3u);
    EXPECT_EQ(node_as<StringNode>(build(texts), "S3").value,
              ValueRef::text(std::string(5000, 'x')));
}

TEST(XmlBuilderHostileTest, SizeNodeAndNestingLimits) {
    xml::Limits small;
    small.max_document_bytes = 100;
    EXPECT_EQ(failure(doc(std::string(200, ' ')), small),
              "device description: document of 282 bytes exceeds the limit of 100 bytes");

    xml::Limits few;
    few.max_nodes = 3;
    EXPECT_EQ(failure(doc("<Port/><Port/><Port/><Port/>"), few),
              "device description: more than 3 nodes");
    // The default nodes count as well.
    EXPECT_EQ(failure(doc("<Port Name='A'/><Port/>"), few),
              "device description: more than 3 nodes");

    xml::Limits shallow;
    shallow.max_group_depth = 4;
    std::string nested;
    for (int i = 0; i < 5; ++i) {
        nested = "<Group>" + nested + "</Group>";
    }
    EXPECT_EQ(failure(doc(nested), shallow), "device description: groups nested deeper than 4");

    // libxml2 refuses absurd element nesting on its own (without lifting its limits).
    std::string deep;
    for (int i = 0; i < 5000; ++i) {
        deep += "<Group>";
    }
    for (int i = 0; i < 5000; ++i) {
        deep += "</Group>";
    }
    EXPECT_EQ(failure(doc(deep)).rfind("device description: ", 0), 0u);
}

TEST(XmlBuilderHostileTest, DeepValueChainBuildsAndTheGuardStopsFollowingIt) {
    // 5000 Integers, each pValue naming the next: the build is iterative; following the chain
    // the way value access does (enter each target) fails cleanly at the depth bound.
    constexpr int kChain = 5000;
    std::string body;
    for (int i = 0; i < kChain; ++i) {
        body += "<Integer Name=\"N" + std::to_string(i) + "\"><pValue>N" + std::to_string(i + 1) +
                "</pValue></Integer>";
    }
    body += "<Integer Name=\"N" + std::to_string(kChain) + "\"><Value>1</Value></Integer>";
    Genicam map = build(doc(body));
    NodeId id = *map.find("N0");
    Status<GenicamError> entered;
    size_t depth = 0;
    while ((entered = map.enter(id)).ok()) {
        ++depth;
        const auto& v = std::get<IntegerNode>(map.at(id).node).value;
        ASSERT_TRUE(v.is_node() && v.link().is_resolved());
        id = v.link().id();
    }
    EXPECT_EQ(depth, Genicam::kMaxDepth);
    EXPECT_EQ(entered.error().kind(), GenicamError::Kind::DeviceDescription);
    EXPECT_TRUE(map.stack().empty());
}
