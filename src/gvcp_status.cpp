// GVCP status display texts.
#include "gvcp_status.hpp"

namespace corvisk::gvcp {

const char* status_text(uint16_t code) {
    switch (code) {
        case 0x0000:
            return "success";
        case 0x0100:
            return "packet resend";
        case 0x8001:
            return "not implemented";
        case 0x8002:
            return "invalid parameter";
        case 0x8003:
            return "invalid address";
        case 0x8004:
            return "write protect";
        case 0x8005:
            return "bad alignment";
        case 0x8006:
            return "access denied";
        case 0x8007:
            return "busy";
        case 0x800C:
            return "packet unavailable";
        case 0x800D:
            return "data overrun";
        case 0x800E:
            return "invalid header";
        case 0x8010:
            return "packet not yet available";
        case 0x8011:
            return "packet and previous removed from memory";
        case 0x8012:
            return "packet removed from memory";
        case 0x8013:
            return "no reference time";
        case 0x8014:
            return "packet temporarily unavailable";
        case 0x8015:
            return "overflow";
        case 0x8016:
            return "action late";
        case 0x8017:
            return "leader/trailer overflow";
        case 0x8FFF:
            return "generic error";
        default:
            return nullptr;
    }
}

std::string GvcpStatus::display() const {
    if (const char* text = status_text(code_)) {
        return fmt::format("{} ({:#06x})", text, code_);
    }
    return fmt::format("status {:#06x}", code_);
}

}  // namespace corvisk::gvcp
