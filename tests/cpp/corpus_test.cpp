// Every real device description beside the repository (../shared/descriptions, when present)
// builds, and every value feature in it reads over a sparse in-memory device whose words are
// deterministic, with no error other than those the values themselves cause. Prints, per
// description, how many features were read and how many failed, and why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "genicam/introspection.hpp"
#include "genicam/value.hpp"
#include "genicam/xml_builder.hpp"
#include "genicam/zip.hpp"

using namespace corvisk;
using namespace corvisk::genicam;

namespace {

namespace fs = std::filesystem;

// Device memory in which every byte not yet written is a function of its address, so each run
// reads the same values and different registers read different ones. Writes persist.
class SparsePort : public PortIo {
  public:
    CameraResult<void> read(uint64_t address, std::span<uint8_t> buffer) override {
        for (size_t i = 0; i < buffer.size(); ++i) {
            const auto it = written_.find(address + i);
            buffer[i] = it != written_.end() ? it->second : pattern(address + i);
        }
        return {};
    }
    CameraResult<void> write(uint64_t address, std::span<const uint8_t> data) override {
        for (size_t i = 0; i < data.size(); ++i) {
            written_[address + i] = data[i];
        }
        return {};
    }

  private:
    static uint8_t pattern(uint64_t a) {
        uint64_t x = (a >> 2) * 0x9E3779B97F4A7C15ull;
        x ^= x >> 29;
        // Small words: the low byte varies, the rest stays mostly 0, so lengths, selectors and
        // enumeration values fall into plausible ranges.
        return (a & 3) == 3 ? static_cast<uint8_t>(x & 0x0F) : 0;
    }
    std::map<uint64_t, uint8_t> written_;
};

// Beside the repository; a worktree one level further down finds it one level further up.
fs::path corpus_dir() {
    const fs::path root(CORVISK_SOURCE_DIR);
    for (const fs::path& p : {root / ".." / "shared" / "descriptions",
                              root / ".." / ".." / "shared" / "descriptions"}) {
        if (fs::is_directory(p)) {
            return p;
        }
    }
    return root / ".." / "shared" / "descriptions";
}

std::vector<uint8_t> read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Errors a device's values cause by themselves (any implementation reports them too); a length
// register holding an absurd size is one of them, an address formula evaluated outside the
// selector range it covers (a sentinel address at the end of the address space) another. Chunk
// and event data is refused through the device by design (its bytes are not device memory).
bool caused_by_values(const GenicamError& e) {
    const std::string& m = e.message();
    return e.kind() == GenicamError::Kind::NoSuchEntry ||
           e.kind() == GenicamError::Kind::PortData ||
           e.kind() == GenicamError::Kind::NotAccessible ||
           m.find("division by zero") != std::string::npos ||
           m.find("remainder by zero") != std::string::npos ||
           m.find("unsupported register length") != std::string::npos ||
           m.find("runs past the 32-bit address space") != std::string::npos;
}

// Reads the node the way a user would for its kind; nullopt when it is not a value feature.
std::optional<Status<GenicamError>> read_feature(Genicam& map, PortIo& port, NodeId id) {
    const auto ok = [](const auto& r) -> Status<GenicamError> {
        if (r.ok()) {
            return {};
        }
        return Err{r.error()};
    };
    const std::string name = map.name(id);
    const Node& n = map.at(id).node;
    switch (kind_of(n)) {
        case NodeKind::Integer:
        case NodeKind::Converter:
        case NodeKind::SwissKnife:
            return is_float_valued(n) || std::holds_alternative<SwissKnifeNode>(n) ||
                           std::holds_alternative<ConverterNode>(n)
                       ? ok(get_float(map, port, name))
                       : ok(get_integer(map, port, name));
        case NodeKind::Float:
            return ok(get_float(map, port, name));
        case NodeKind::Boolean:
            return ok(get_boolean(map, port, name));
        case NodeKind::Enumeration:
            return ok(get_enum(map, port, name));
        case NodeKind::String:
            return ok(get_string(map, port, name));
        case NodeKind::Register: {
            const RegKind& k = std::get<RegisterNode>(n).kind;
            if (std::holds_alternative<IntKind>(k)) {
                return ok(get_integer(map, port, name));
            }
            if (std::holds_alternative<FloatKind>(k)) {
                return ok(get_float(map, port, name));
            }
            if (std::holds_alternative<StringKind>(k)) {
                return ok(get_string(map, port, name));
            }
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

struct Tally {
    int read = 0;
    int value_errors = 0;
    std::map<std::string, int> faults;  // corvisk's own errors, by message
};

Tally read_all(Genicam& map) {
    SparsePort port;
    Tally t;
    for (NodeId id = 0; id < map.size(); ++id) {
        // Only named features: a name that was defined twice is read through its last node.
        if (map.find(map.name(id)) != id) {
            continue;
        }
        auto r = read_feature(map, port, id);
        if (!r) {
            continue;
        }
        EXPECT_TRUE(map.stack().empty());
        if (r->ok()) {
            ++t.read;
        } else if (caused_by_values(r->error())) {
            ++t.value_errors;
        } else {
            ++t.faults[r->error().message()];
        }
    }
    return t;
}

TEST(CorpusTest, EveryDescriptionBuildsAndEveryValueReads) {
    const fs::path dir = corpus_dir();
    if (!fs::is_directory(dir)) {
        GTEST_SKIP() << "no description corpus at " << dir;
    }
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string ext = e.path().extension().string();
        if (ext == ".xml" || ext == ".zip" || ext == ".XML" || ext == ".ZIP") {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    int total_faults = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        std::vector<uint8_t> bytes = read_file(file);
        if (file.extension() == ".zip" || file.extension() == ".ZIP") {
            auto unpacked = zip::extract_first_file(bytes);
            ASSERT_TRUE(unpacked.ok()) << unpacked.error();
            bytes = std::move(unpacked).value();
        }
        auto map = xml::parse_description(bytes);
        ASSERT_TRUE(map.ok()) << map.error().message();
        const Tally t = read_all(*map);
        // Introspection answers for every feature.
        SparsePort port;
        for (const auto& name : user_feature_names(*map)) {
            auto info = describe(*map, port, name);
            ASSERT_TRUE(info.ok()) << name << ": " << info.error().message();
            EXPECT_FALSE(info->access.empty()) << name;
        }
        int faults = 0;
        for (const auto& [msg, count] : t.faults) {
            faults += count;
        }
        std::printf("%-36s read %5d  value errors %4d  faults %4d\n",
                    file.filename().string().c_str(), t.read, t.value_errors, faults);
        for (const auto& [msg, count] : t.faults) {
            std::printf("    %4d x %s\n", count, msg.c_str());
        }
        total_faults += faults;
    }
    EXPECT_EQ(total_faults, 0);
}

}  // namespace
