// The Python StreamStats class: nineteen read-only counters copied when the object is made,
// compared by value.
#include "py/stream_stats.hpp"

#include <cstddef>
#include <iterator>

#include "py/convert.hpp"

#include "structmember.h"

namespace corvisk::py {
namespace {

struct StreamStatsObject {
    PyObject ob_base;  // PyObject_HEAD
    gige::StreamStats stats;
};

const gige::StreamStats& stats_of(PyObject* self) {
    return reinterpret_cast<StreamStatsObject*>(self)->stats;
}

void stream_stats_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* stream_stats_repr(PyObject* self) {
    return guard_cxx<PyObject*>(nullptr,
                                [&] { return to_str(gige::to_string(stats_of(self))).release(); });
}

// Two snapshots are equal when every counter is; there is no ordering.
PyObject* stream_stats_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = stats_of(self) == stats_of(other);
    return PyBool_FromLong(equal == (op == Py_EQ));
}

// Immutable and compared by value, so hashable by value.
Py_hash_t stream_stats_hash(PyObject* self) {
    Py_uhash_t h = 0x345678UL;
    for (const auto& field : gige::kStreamStatsFields) {
        h = (h ^ static_cast<Py_uhash_t>(stats_of(self).*field.member)) * 1000003UL;
    }
    const auto hash = static_cast<Py_hash_t>(h);
    return hash == -1 ? -2 : hash;
}

#define CORVISK_STAT(name, doc)                                                                   \
    {                                                                                             \
#name, T_ULONGLONG,                                                                       \
            offsetof(StreamStatsObject, stats) + offsetof(gige::StreamStats, name), READONLY, doc \
    }

// One attribute per counter, in the record's order (the same as its text form).
PyMemberDef stream_stats_members[] = {
    CORVISK_STAT(packets, nullptr),
    CORVISK_STAT(bytes, nullptr),
    CORVISK_STAT(completed_frames, nullptr),
    CORVISK_STAT(failed_frames, nullptr),
    CORVISK_STAT(timed_out_frames, nullptr),
    CORVISK_STAT(aborted_frames, nullptr),
    CORVISK_STAT(missing_frames, nullptr),
    CORVISK_STAT(underruns, nullptr),
    CORVISK_STAT(missing_packets, nullptr),
    CORVISK_STAT(resend_requests, nullptr),
    CORVISK_STAT(resent_packets, nullptr),
    CORVISK_STAT(resend_ratio_reached, nullptr),
    CORVISK_STAT(resend_disabled, nullptr),
    CORVISK_STAT(duplicated_packets, nullptr),
    CORVISK_STAT(error_packets, nullptr),
    CORVISK_STAT(ignored_packets, nullptr),
    CORVISK_STAT(unsupported_frames, nullptr),
    CORVISK_STAT(size_mismatch_errors, nullptr),
    CORVISK_STAT(frames_dropped,
                 "Completed frames a subscriber could not take (its channel was full)."),
    {nullptr, 0, 0, 0, nullptr},
};

#undef CORVISK_STAT

static_assert(std::size(stream_stats_members) == gige::kStreamStatsFields.size() + 1,
              "one attribute per counter");

PyType_Slot stream_stats_slots[] = {
    {Py_tp_doc, const_cast<char*>("Stream receiver counters, all monotonic since stream open.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_stats_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_stats_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(stream_stats_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(stream_stats_hash)},
    {Py_tp_members, stream_stats_members},
    {0, nullptr},
};

PyType_Spec stream_stats_spec = {
    "corvisk.StreamStats",
    sizeof(StreamStatsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_stats_slots,
};

}  // namespace

PyRef stream_stats_type_create(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &stream_stats_spec, nullptr));
}

PyRef stream_stats_new(const ModuleState& state, const gige::StreamStats& stats) {
    PyTypeObject* type = state.stream_stats_type;
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (obj) {
        reinterpret_cast<StreamStatsObject*>(obj.get())->stats = stats;
    }
    return obj;
}

}  // namespace corvisk::py
