// Test support: an in-memory device register space behind PortIo that counts its traffic, plus
// helpers to build node maps from XML fragments with the real builder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "genicam/port.hpp"
#include "genicam/xml_builder.hpp"

namespace corvisk::genicam::testing {

// Sparse byte-addressed memory; unwritten bytes read as 0. Counts every read and write so tests
// can see whether a value came from the cache or from the "device".
class MemoryPort : public PortIo {
  public:
    CameraResult<void> read(uint64_t address, std::span<uint8_t> buffer) override {
        ++reads;
        last_read_length = buffer.size();
        if (fail) {
            return Err{CameraError::ack_timeout()};
        }
        for (size_t i = 0; i < buffer.size(); ++i) {
            buffer[i] = byte(address + i);
        }
        return {};
    }

    CameraResult<void> write(uint64_t address, std::span<const uint8_t> data) override {
        ++writes;
        if (fail) {
            return Err{CameraError::ack_timeout()};
        }
        poke(address, std::vector<uint8_t>(data.begin(), data.end()));
        return {};
    }

    void poke(uint64_t address, const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            mem_[address + i] = bytes[i];
        }
    }
    std::vector<uint8_t> peek(uint64_t address, size_t n) const {
        std::vector<uint8_t> out(n);
        for (size_t i = 0; i < n; ++i) {
            out[i] = byte(address + i);
        }
        return out;
    }
    int traffic() const { return reads + writes; }

    int reads = 0;
    int writes = 0;
    size_t last_read_length = 0;
    bool fail = false;

  private:
    uint8_t byte(uint64_t address) const {
        const auto it = mem_.find(address);
        return it == mem_.end() ? 0 : it->second;
    }

    std::map<uint64_t, uint8_t> mem_;
};

// A description with `body` inside the root element and a Port named Device.
inline std::string doc(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<RegisterDescription ModelName=\"Test\" VendorName=\"corvisk\">"
           "<Port Name=\"Device\"/>" +
           body + "</RegisterDescription>";
}

// The node map of doc(body), built by the real XML builder.
inline Genicam build(const std::string& body) {
    auto r = xml::parse(doc(body));
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? std::move(r).value() : Genicam{};
}

// The message of a failed result ("" and a test failure when it succeeded).
template <class R>
std::string error_of(const R& r) {
    EXPECT_FALSE(r.ok());
    return r.ok() ? std::string() : r.error().message();
}

// The value of a successful result (a test failure and a default value otherwise).
template <class R>
typename std::decay_t<R>::value_type must(R&& r) {
    EXPECT_TRUE(r.ok()) << r.error().message();
    if (!r.ok()) {
        return {};
    }
    return std::forward<R>(r).value();
}

}  // namespace corvisk::genicam::testing
