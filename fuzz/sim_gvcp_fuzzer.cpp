// Feeds arbitrary datagrams to the simulated camera's GVCP handler. The input is a sequence of
// datagrams, each prefixed by one length byte; the first datagram's source holds control.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "bytes.hpp"
#include "gvcp_device.hpp"

namespace {

void check_reply(const corvisk::sim::Reply& r) {
    // Every answer is a well-formed acknowledge whose length field matches its size.
    if (r.bytes.size() < 8 || corvisk::load_be16(r.bytes.data() + 4) != r.bytes.size() - 8 ||
        r.bytes.size() > 576) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    corvisk::sim::SimConfig config;
    config.ip = "127.0.0.2";
    corvisk::sim::GvcpDevice device(config);
    corvisk::sim::Endpoint controller{0x7F000001, 4000};
    corvisk::sim::Endpoint other{0x7F000003, 4001};
    uint8_t take[] = {0x42, 0x01, 0x00, 0x82, 0x00, 0x08, 0x00, 0x01,
                      0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x02};
    device.handle_datagram(take, controller);
    size_t pos = 0;
    bool flip = false;
    while (pos < size) {
        size_t n = std::min<size_t>(data[pos], size - pos - 1);
        std::span<const uint8_t> datagram(data + pos + 1, n);
        pos += 1 + n;
        for (const auto& r : device.handle_datagram(datagram, flip ? other : controller)) {
            check_reply(r);
        }
        flip = !flip;
    }
    device.poll();
    return 0;
}
