// The Python FrameStatus class: how a frame ended, as six shared instances.
#include "py/frame_status.hpp"

#include <array>

#include "py/int_enum.hpp"

namespace corvisk::py {
namespace {

constexpr std::array<gige::FrameStatus, 6> kStatuses = {
    gige::FrameStatus::Complete,      gige::FrameStatus::MissingPackets,
    gige::FrameStatus::Timeout,       gige::FrameStatus::Aborted,
    gige::FrameStatus::WrongPacketId, gige::FrameStatus::PayloadUnsupported,
};

std::array<IntEnumMember, 6> members() {
    std::array<IntEnumMember, 6> out{};
    for (size_t i = 0; i < kStatuses.size(); ++i) {
        out[i] = {gige::frame_status_name(kStatuses[i]), static_cast<long>(kStatuses[i])};
    }
    return out;
}

}  // namespace

PyRef frame_status_type_create(PyObject* module) {
    static const std::array<IntEnumMember, 6> kMembers = members();
    const IntEnumDef def{"corvisk.FrameStatus", "How a frame ended.", kMembers};
    return int_enum_type_create(module, def, &state_of_module(module).frame_status_values);
}

PyRef frame_status_new(const ModuleState& state, gige::FrameStatus status) {
    return int_enum_member(state.frame_status_values, static_cast<size_t>(status));
}

}  // namespace corvisk::py
