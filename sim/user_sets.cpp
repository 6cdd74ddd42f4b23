#include "user_sets.hpp"

#include "registers.hpp"

namespace corvisk::sim {

const std::array<uint32_t, 16>& UserSets::addresses() {
    static const std::array<uint32_t, 16> kAddresses = {
        reg::kOffsetX,
        reg::kOffsetY,
        reg::kWidth,
        reg::kHeight,
        reg::kWidthMax,
        reg::kHeightMax,
        reg::kPixelFormat,
        reg::kAcquisitionMode,
        reg::kAcquisitionFrameCount,
        reg::kTestPattern,
        reg::kExposureTime,
        reg::kExposureTime + 4,
        reg::kFrameRate,
        reg::kAnalog,
        reg::kImageControl,
        reg::kWhiteBalanceOffset,
    };
    return kAddresses;
}

void UserSets::save(uint32_t n, const std::function<uint32_t(uint32_t)>& read) {
    auto& set = sets_.at(n);
    for (uint32_t addr : addresses()) {
        set[addr] = read(addr);
    }
}

bool UserSets::load(uint32_t n, const std::function<void(uint32_t, uint32_t)>& write) const {
    const auto& set = sets_.at(n);
    if (set.empty()) {
        return false;
    }
    for (const auto& [addr, value] : set) {
        write(addr, value);
    }
    return true;
}

}  // namespace corvisk::sim
