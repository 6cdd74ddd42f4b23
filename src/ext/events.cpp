// Device events for the corvisk package: the native EventChannel over a message channel, the
// table of event names and data features, and reading event data features. The Python side
// (corvisk/events.py) builds the user-facing channel and Event records on top.
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ext/parts.hpp"
#include "ext/port_data.hpp"
#include "genicam/value.hpp"
#include "gige/message_channel.hpp"
#include "py/gil.hpp"

namespace corvisk::ext {

namespace {

PyObject* value_object(const genicam::FeatureValue& v) {
    if (const auto* i = std::get_if<int64_t>(&v)) {
        return PyLong_FromLongLong(*i);
    }
    if (const auto* d = std::get_if<double>(&v)) {
        return PyFloat_FromDouble(*d);
    }
    if (const auto* b = std::get_if<bool>(&v)) {
        return PyBool_FromLong(*b ? 1 : 0);
    }
    const auto& s = std::get<std::string>(v);
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

}  // namespace

PyObject* feature_dict(const std::vector<std::pair<std::string, genicam::FeatureValue>>& values) {
    PyObject* d = PyDict_New();
    for (size_t i = 0; d != nullptr && i < values.size(); ++i) {
        PyObject* v = value_object(values[i].second);
        if (v == nullptr || PyDict_SetItemString(d, values[i].first.c_str(), v) < 0) {
            Py_XDECREF(v);
            Py_CLEAR(d);
            break;
        }
        Py_DECREF(v);
    }
    return d;
}

GenicamResult<std::vector<std::pair<std::string, genicam::FeatureValue>>> read_port_features(
    const std::shared_ptr<py::CameraCore>& core, genicam::PortKind kind,
    const std::vector<std::string>& names,
    const std::map<uint64_t, std::span<const uint8_t>>& buffers) {
    using Values = std::vector<std::pair<std::string, genicam::FeatureValue>>;
    return py::without_gil([&]() -> GenicamResult<Values> {
        std::lock_guard<std::timed_mutex> lock(core->mu);
        return core->camera.with_features(
            [&](genicam::Genicam& map, PortIo&) -> GenicamResult<Values> {
                std::vector<genicam::NodeId> ids;
                for (const auto& n : names) {
                    if (auto id = map.find(n)) {
                        ids.push_back(*id);
                    }
                }
                return genicam::read_data_features(map, kind, ids, buffers);
            });
    });
}

PyObject* port_feature_table(const std::shared_ptr<py::CameraCore>& core, genicam::PortKind kind) {
    using Table = std::map<uint64_t, std::vector<std::string>>;
    auto table = py::without_gil([&] {
        std::lock_guard<std::timed_mutex> lock(core->mu);
        return core->camera.with_features(
            [&](genicam::Genicam& map, PortIo&) -> GenicamResult<Table> {
                Table out;
                for (const auto& [id, nodes] : genicam::data_features(map, kind)) {
                    for (genicam::NodeId n : nodes) {
                        out[id].push_back(map.name(n));
                    }
                }
                return out;
            });
    });
    if (!table.ok()) {
        return raise_genicam(table.error());
    }
    PyObject* d = PyDict_New();
    for (const auto& [id, names] : *table) {
        PyObject* list = PyList_New(0);
        PyObject* key = PyLong_FromUnsignedLongLong(id);
        bool ok = list != nullptr && key != nullptr;
        for (size_t i = 0; ok && i < names.size(); ++i) {
            PyObject* s = PyUnicode_FromString(names[i].c_str());
            ok = s != nullptr && PyList_Append(list, s) == 0;
            Py_XDECREF(s);
        }
        ok = ok && PyDict_SetItem(d, key, list) == 0;
        Py_XDECREF(list);
        Py_XDECREF(key);
        if (!ok) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    return d;
}

namespace {

struct EventChannelObject {
    PyObject ob_base;  // PyObject_HEAD
    std::shared_ptr<gige::MessageChannel> channel;
};

PyObject* event_tuple(const gige::DeviceEvent& ev) {
    return Py_BuildValue(
        "(iiiKKy#K)", ev.command, ev.event_id, ev.stream_channel,
        static_cast<unsigned long long>(ev.block_id), static_cast<unsigned long long>(ev.timestamp),
        ev.data.empty() ? "" : reinterpret_cast<const char*>(ev.data.data()),
        static_cast<Py_ssize_t>(ev.data.size()), static_cast<unsigned long long>(ev.received_ns));
}

// wait(timeout) -> event tuple, None (timeout) or False (the channel ended: closed, or the
// camera's control link is gone). timeout None waits without limit.
PyObject* channel_wait(PyObject* self, PyObject* arg) {
    auto channel = reinterpret_cast<EventChannelObject*>(self)->channel;
    if (!channel) {
        Py_RETURN_FALSE;
    }
    Instant deadline = Instant::max();
    if (arg != Py_None) {
        const double t = PyFloat_AsDouble(arg);
        if (t == -1.0 && PyErr_Occurred()) {
            return nullptr;
        }
        if (!(t >= 0.0) || t > 1e9) {
            PyErr_SetString(PyExc_ValueError, "timeout must be a non-negative number of seconds");
            return nullptr;
        }
        deadline =
            deadline_after(std::chrono::duration_cast<Duration>(std::chrono::duration<double>(t)));
    }
    gige::DeviceEvent ev;
    bool got = false, ended = false;
    const auto outcome = py::wait_in_slices(deadline, [&](Instant until) {
        const auto r = channel->events().recv_deadline(ev, until);
        got = r == chan::RecvResult::Item;
        ended = !got && (r == chan::RecvResult::Disconnected || !channel->is_alive() ||
                         !channel->link_alive());
        return got || ended;
    });
    if (outcome == py::WaitOutcome::Interrupted) {
        return nullptr;
    }
    if (got) {
        return event_tuple(ev);
    }
    if (ended) {
        Py_RETURN_FALSE;
    }
    Py_RETURN_NONE;
}

PyObject* channel_stats(PyObject* self, PyObject*) {
    auto& channel = reinterpret_cast<EventChannelObject*>(self)->channel;
    const gige::EventStats s = channel ? channel->stats() : gige::EventStats{};
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "commands", s.commands, "events", s.events,
                         "duplicates", s.duplicates, "dropped", s.dropped, "malformed", s.malformed,
                         "ack_failures", s.ack_failures);
}

PyObject* channel_close(PyObject* self, PyObject*) {
    auto channel = reinterpret_cast<EventChannelObject*>(self)->channel;
    if (channel) {
        py::without_gil([&] { channel->close(); });
    }
    Py_RETURN_NONE;
}

PyObject* channel_port(PyObject* self, PyObject*) {
    auto& channel = reinterpret_cast<EventChannelObject*>(self)->channel;
    return PyLong_FromLong(channel ? channel->local_port() : 0);
}

void channel_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<EventChannelObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (auto channel = std::move(obj->channel)) {
        py::without_gil([&] { channel->close(); });
    }
    obj->channel.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef kChannelMethods[] = {
    {"wait", channel_wait, METH_O,
     "wait(timeout)\n--\n\nThe next event as a tuple, None on timeout, False once ended."},
    {"stats", channel_stats, METH_NOARGS, "stats()\n--\n\nThe channel's counters as a dict."},
    {"close", channel_close, METH_NOARGS, "close()\n--\n\nStops the channel (MCP = 0)."},
    {"local_port", channel_port, METH_NOARGS, "local_port()\n--\n\nThe channel's UDP port."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kChannelSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(channel_dealloc)},
    {Py_tp_methods, kChannelMethods},
    {Py_tp_doc, const_cast<char*>("A message channel receiving one camera's device events.")},
    {0, nullptr},
};

PyType_Spec kChannelSpec = {
    "corvisk._corvisk_ext.EventChannel",
    sizeof(EventChannelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kChannelSlots,
};

// Event names from the description: an EventSelector entry N names the id its Event<N> feature
// holds, then every constant Integer Event<X> names its value, then the remaining entries name
// their own values. An earlier source wins.
std::map<uint64_t, std::string> event_names(genicam::Genicam& map, PortIo& port) {
    std::map<uint64_t, std::string> names;
    std::vector<genicam::EnumEntry> entries;
    if (auto sel = map.find("EventSelector")) {
        if (const auto* e = std::get_if<genicam::EnumerationNode>(&map.at(*sel).node)) {
            entries = e->entries;
        }
    }
    for (const auto& entry : entries) {
        if (auto id = map.find("Event" + entry.name);
            id && std::holds_alternative<genicam::IntegerNode>(map.at(*id).node)) {
            if (auto v = genicam::int_value_inner(map, port, *id); v.ok()) {
                names.emplace(static_cast<uint64_t>(*v), entry.name);
            }
        }
    }
    for (const genicam::NodeData& d : map.nodes()) {
        const auto* i = std::get_if<genicam::IntegerNode>(&d.node);
        if (i != nullptr && i->value.is_int() && d.name.size() > 5 &&
            d.name.rfind("Event", 0) == 0) {
            names.emplace(static_cast<uint64_t>(i->value.int_value()), d.name.substr(5));
        }
    }
    for (const auto& entry : entries) {
        names.emplace(static_cast<uint64_t>(entry.value), entry.name);
    }
    return names;
}

PyObject* py_event_names(PyObject*, PyObject* camera) {
    auto core = camera_arg(camera);
    if (!core) {
        return nullptr;
    }
    using Names = std::map<uint64_t, std::string>;
    auto names = py::without_gil([&] {
        std::lock_guard<std::timed_mutex> lock(core->mu);
        return core->camera.with_features(
            [&](genicam::Genicam& map, PortIo& port) -> GenicamResult<Names> {
                return event_names(map, port);
            });
    });
    if (!names.ok()) {
        return raise_genicam(names.error());
    }
    PyObject* d = PyDict_New();
    for (const auto& [id, name] : *names) {
        PyObject* k = PyLong_FromUnsignedLongLong(id);
        PyObject* v = PyUnicode_FromString(name.c_str());
        const bool ok = k && v && PyDict_SetItem(d, k, v) == 0;
        Py_XDECREF(k);
        Py_XDECREF(v);
        if (!ok) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    return d;
}

PyObject* py_event_data_features(PyObject*, PyObject* camera) {
    auto core = camera_arg(camera);
    return core ? port_feature_table(core, genicam::PortKind::Event) : nullptr;
}

// Converts a list of str; false with an exception set.
bool string_list(PyObject* seq, std::vector<std::string>& out) {
    PyObject* fast = PySequence_Fast(seq, "feature names must be a sequence of str");
    if (fast == nullptr) {
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char* s = PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(fast, i));
        if (s == nullptr) {
            Py_DECREF(fast);
            return false;
        }
        out.emplace_back(s);
    }
    Py_DECREF(fast);
    return true;
}

// read_event_features(camera, event_id, data, names) -> dict
PyObject* py_read_event_features(PyObject*, PyObject* args) {
    PyObject* camera = nullptr;
    PyObject* names_obj = nullptr;
    unsigned long long event_id = 0;
    Py_buffer data{};
    if (!PyArg_ParseTuple(args, "OKy*O", &camera, &event_id, &data, &names_obj)) {
        return nullptr;
    }
    std::vector<uint8_t> bytes(static_cast<const uint8_t*>(data.buf),
                               static_cast<const uint8_t*>(data.buf) + data.len);
    PyBuffer_Release(&data);
    std::vector<std::string> names;
    auto core = camera_arg(camera);
    if (!core || !string_list(names_obj, names)) {
        return nullptr;
    }
    const std::map<uint64_t, std::span<const uint8_t>> buffers{{event_id, bytes}};
    auto values = read_port_features(core, genicam::PortKind::Event, names, buffers);
    if (!values.ok()) {
        return raise_genicam(values.error());
    }
    return feature_dict(*values);
}

// open_events(camera, capacity, ack_timeout_ms, retransmissions) -> EventChannel
PyObject* py_open_events(PyObject* module, PyObject* args) {
    PyObject* camera = nullptr;
    Py_ssize_t capacity = 0;
    unsigned int ack_timeout_ms = 0, retransmissions = 0;
    if (!PyArg_ParseTuple(args, "OnII", &camera, &capacity, &ack_timeout_ms, &retransmissions)) {
        return nullptr;
    }
    if (capacity < 1 || capacity > (1 << 20)) {
        PyErr_SetString(PyExc_ValueError, "capacity must be between 1 and 1048576");
        return nullptr;
    }
    auto core = camera_arg(camera);
    if (!core) {
        return nullptr;
    }
    gige::MessageChannelConfig config;
    config.capacity = static_cast<size_t>(capacity);
    config.ack_timeout_ms = ack_timeout_ms;
    config.retransmissions = retransmissions;
    auto opened = py::without_gil([&]() -> CameraResult<std::unique_ptr<gige::MessageChannel>> {
        std::lock_guard<std::timed_mutex> lock(core->mu);
        auto conn = core->camera.transport().check_connection();
        if (!conn.ok()) {
            return Err{conn.error()};
        }
        return gige::MessageChannel::open((*conn)->port, (*conn)->local_address,
                                          core->camera.transport().config().device, config);
    });
    if (!opened.ok()) {
        return raise_genicam(GenicamError(std::move(opened).error()));
    }
    PyObject* type = PyObject_GetAttrString(module, "EventChannel");
    if (type == nullptr) {
        return nullptr;
    }
    auto* obj = PyObject_New(EventChannelObject, reinterpret_cast<PyTypeObject*>(type));
    Py_DECREF(type);
    if (obj == nullptr) {
        return nullptr;
    }
    new (&obj->channel) std::shared_ptr<gige::MessageChannel>(std::move(*opened));
    return reinterpret_cast<PyObject*>(obj);
}

PyMethodDef kMethods[] = {
    {"open_events", py_open_events, METH_VARARGS,
     "open_events(camera, capacity, ack_timeout_ms, retransmissions)\n--\n\n"
     "Opens the camera's message channel."},
    {"event_names", py_event_names, METH_O,
     "event_names(camera)\n--\n\nEvent id -> name, from the camera's description."},
    {"event_data_features", py_event_data_features, METH_O,
     "event_data_features(camera)\n--\n\nEvent id -> names of the features its data fills."},
    {"read_event_features", py_read_event_features, METH_VARARGS,
     "read_event_features(camera, event_id, data, names)\n--\n\n"
     "The named features read from one event's data."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_events(PyObject* module) {
    if (add_type(module, &kChannelSpec, "EventChannel") < 0) {
        return -1;
    }
    return PyModule_AddFunctions(module, kMethods);
}

}  // namespace corvisk::ext
