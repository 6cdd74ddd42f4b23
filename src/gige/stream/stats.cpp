// Text form of the stream counters.
#include "gige/stream/stats.hpp"

#include <fmt/format.h>

namespace corvisk::gige {

std::string to_string(const StreamStats& stats) {
    std::string out = "StreamStats { ";
    bool first = true;
    for (const auto& field : kStreamStatsFields) {
        if (!first) {
            out += ", ";
        }
        first = false;
        out += fmt::format("{}: {}", field.name, stats.*field.member);
    }
    out += " }";
    return out;
}

}  // namespace corvisk::gige
