// The simulated camera's user sets: named snapshots of its configuration registers that the
// UserSetSave / UserSetLoad commands write and restore, as real cameras keep in flash.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>

namespace corvisk::sim {

class UserSets {
  public:
    static constexpr uint32_t kDefault = 0;  // the factory set: loaded, never saved into
    static constexpr uint32_t kCount = 2;    // Default and UserSet1

    // The configuration registers a set holds (32-bit word addresses).
    static const std::array<uint32_t, 16>& addresses();

    // Captures every configuration register into set `n` (n < kCount) through `read`.
    void save(uint32_t n, const std::function<uint32_t(uint32_t)>& read);
    // Writes set `n` back through `write`; false when the set was never saved.
    bool load(uint32_t n, const std::function<void(uint32_t, uint32_t)>& write) const;

  private:
    std::array<std::map<uint32_t, uint32_t>, kCount> sets_;
};

}  // namespace corvisk::sim
