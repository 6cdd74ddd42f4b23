// The Python LinkStats class: nine read-only counters and their repr.
#include "py/link_stats.hpp"

#include <cstddef>
#include <new>

#include <structmember.h>

#include <fmt/format.h>

#include "py/convert.hpp"

namespace corvisk::py {
namespace {

struct LinkStatsObject {
    PyObject ob_base;  // PyObject_HEAD
    gige::LinkStats stats;
};

void link_stats_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* link_stats_repr(PyObject* self) {
    return guard_cxx<PyObject*>(nullptr, [&] {
        const gige::LinkStats& s = reinterpret_cast<LinkStatsObject*>(self)->stats;
        return to_str(fmt::format("LinkStats {{ commands: {}, acks: {}, retries: {}, timeouts: "
                                  "{}, naks: {}, pending_acks: {}, heartbeats: {}, events: {}, "
                                  "unsolicited: {} }}",
                                  s.commands, s.acks, s.retries, s.timeouts, s.naks, s.pending_acks,
                                  s.heartbeats, s.events, s.unsolicited))
            .release();
    });
}

#define CORVISK_COUNTER(name)                                                         \
    {                                                                                 \
#name, T_ULONGLONG,                                                           \
            static_cast < Py_ssize_t>                                                 \
                (offsetof(LinkStatsObject, stats) + offsetof(gige::LinkStats, name)), \
            READONLY, nullptr                                                         \
    }

PyMemberDef link_stats_members[] = {
    CORVISK_COUNTER(commands),   CORVISK_COUNTER(acks),   CORVISK_COUNTER(retries),
    CORVISK_COUNTER(timeouts),   CORVISK_COUNTER(naks),   CORVISK_COUNTER(pending_acks),
    CORVISK_COUNTER(heartbeats), CORVISK_COUNTER(events), CORVISK_COUNTER(unsolicited),
    {nullptr, 0, 0, 0, nullptr},
};

#undef CORVISK_COUNTER

PyType_Slot link_stats_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(link_stats_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(link_stats_repr)},
    {Py_tp_members, link_stats_members},
    {Py_tp_doc, const_cast<char*>("Control-channel counters.")},
    {0, nullptr},
};

PyType_Spec link_stats_spec = {
    "corvisk.LinkStats",
    sizeof(LinkStatsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    link_stats_slots,
};

}  // namespace

PyRef add_link_stats(PyObject* module, ModuleState& state) {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &link_stats_spec, nullptr));
    if (type) {
        state.link_stats_type = reinterpret_cast<PyTypeObject*>(type.clone().release());
    }
    return type;
}

PyRef link_stats_new(const ModuleState& state, const gige::LinkStats& stats) {
    PyTypeObject* type = state.link_stats_type;
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (obj) {
        // LinkStats is trivially copyable: no constructor or destructor to run.
        reinterpret_cast<LinkStatsObject*>(obj.get())->stats = stats;
    }
    return obj;
}

}  // namespace corvisk::py
