// Builds the node map from a device's GenICam XML description (parsed with libxml2).
//
// The description comes from the device and is untrusted: parsing never loads external DTDs or
// entities (from the network or the host's files), entity expansion is bounded both in libxml2
// and in the walk over the tree, and the document size, nesting and node count are capped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "error.hpp"
#include "genicam/node.hpp"

namespace corvisk::genicam::xml {

// Caps on what one description may cost. The defaults admit every real description by a wide
// margin; tests and fuzzing may lower them.
struct Limits {
    // Document text larger than this is refused before parsing.
    size_t max_document_bytes = 64u << 20;
    // Nodes (including generated and default ones) beyond this fail the build.
    size_t max_nodes = 1'000'000;
    // Group elements nested deeper than this fail the build.
    size_t max_group_depth = 256;
    // Work spent walking the replacement content of entity references (node visits, and text
    // bytes / 64), across the whole build.
    size_t max_entity_work = 4'000'000;
};

// Parses `text` (UTF-8, whatever its declaration says) and builds the node map: the supported
// node elements (Groups transparent, local names only), anonymous names, the default nodes
// "TLParamsLocked", "GevSCPSPacketSize" and "GevTimestampTickFrequency" when absent, resolved
// links and the invalidation index. Fails with DeviceDescription ("device description: {}") when
// the XML cannot be parsed or a limit is exceeded; everything else is tolerated and surfaces
// when the affected node is used. Thread-safe: no shared state besides libxml2's own.
GenicamResult<Genicam> parse(std::string_view text, const Limits& limits = Limits{});

// Builds the node map from a description document as a device serves it: white space before
// the XML declaration is skipped, the text is decoded by its byte-order mark or declared
// encoding (UTF-8, UTF-16, ISO-8859-1, ...; a document whose bytes contradict its declaration is
// read as UTF-8 with invalid sequences replaced), and the root element must be
// RegisterDescription ("device description: root element is '{}', not RegisterDescription").
// Otherwise as parse().
GenicamResult<Genicam> parse_description(std::span<const uint8_t> bytes,
                                         const Limits& limits = Limits{});

}  // namespace corvisk::genicam::xml
