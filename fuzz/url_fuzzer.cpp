// Fuzz target: URL register text, raw (as register bytes) and as text, must parse or fail cleanly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "genicam/url.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using corvisk::genicam::XmlUrl;
    const std::span<const uint8_t> bytes(data, size);
    auto from_register = XmlUrl::from_register(bytes);
    auto parsed = XmlUrl::parse({reinterpret_cast<const char*>(data), size});
    for (const auto* url : {&from_register, &parsed}) {
        if (!url->ok()) {
            continue;
        }
        (void)url->value().is_zip();
        const auto* local = std::get_if<XmlUrl::Local>(&url->value().location);
        if (local && local->length > corvisk::genicam::kMaxDescriptionSize) {
            std::abort();  // an absurd length must never get through
        }
    }
    return 0;
}
