// LogTap: the library's log records, handed to Python. The sink runs on whatever thread logs
// (stream and control workers included), so it only moves the record into a bounded channel and
// counts what did not fit; a Python thread takes records out with the interpreter lock released
// and passes them to the logging module (corvisk/logs.py).
#include <atomic>

#include "ext/camera_access.hpp"
#include "ext/parts.hpp"
#include "log.hpp"
#include "queue.hpp"

namespace corvisk::ext {
namespace {

class ChannelSink : public log::Sink {
  public:
    ChannelSink(chan::Sender<log::Record> sender, std::shared_ptr<std::atomic<uint64_t>> dropped)
        : sender_(std::move(sender)), dropped_(std::move(dropped)) {}
    void write(const log::Record& record) override {
        log::Record copy = record;
        if (sender_.try_send(std::move(copy)) != chan::SendResult::Ok) {
            dropped_->fetch_add(1, std::memory_order_relaxed);
        }
    }

  private:
    chan::Sender<log::Record> sender_;
    std::shared_ptr<std::atomic<uint64_t>> dropped_;  // outlives the sink: read after close
};

struct TapCore {
    std::shared_ptr<ChannelSink> sink;  // owns the only sender: uninstalled, the channel ends
    chan::Receiver<log::Record> records;
    std::shared_ptr<std::atomic<uint64_t>> dropped;
};

struct TapObject {
    PyObject ob_base;
    TapCore* core;
};

TapCore& tap_of(PyObject* self) {
    return *reinterpret_cast<TapObject*>(self)->core;
}

// Takes the sink out of the library, unless another tap has replaced it since.
void uninstall(TapCore& core) {
    if (core.sink) {
        log::remove_sink(core.sink);
        core.sink.reset();
    }
}

PyObject* tap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    int level = 0;
    Py_ssize_t capacity = 0;
    static const char* kwlist[] = {"level", "capacity", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "in:LogTap", const_cast<char**>(kwlist), &level,
                                     &capacity)) {
        return nullptr;
    }
    if (level < 0 || level >= static_cast<int>(log::Level::Off) || capacity < 1) {
        PyErr_SetString(PyExc_ValueError, "level must be 0..3 and capacity at least 1");
        return nullptr;
    }
    auto [sender, receiver] = chan::bounded<log::Record>(static_cast<size_t>(capacity));
    auto dropped = std::make_shared<std::atomic<uint64_t>>(0);
    auto core = std::make_unique<TapCore>(TapCore{
        std::make_shared<ChannelSink>(std::move(sender), dropped), std::move(receiver), dropped});
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    log::set_sink(core->sink, static_cast<log::Level>(level));
    reinterpret_cast<TapObject*>(self)->core = core.release();
    return self;
}

PyObject* record_tuple(const log::Record& r) {
    PyObject* fields = PyDict_New();
    for (const log::Field& f : r.fields) {
        PyObject* v = fields != nullptr
                          ? PyUnicode_DecodeUTF8(f.value.data(),
                                                 static_cast<Py_ssize_t>(f.value.size()), "replace")
                          : nullptr;
        if (v == nullptr || PyDict_SetItemString(fields, f.name.c_str(), v) != 0) {
            Py_XDECREF(v);
            Py_XDECREF(fields);
            return nullptr;
        }
        Py_DECREF(v);
    }
    return Py_BuildValue("(is#s#N)", static_cast<int>(r.level), r.target.data(),
                         static_cast<Py_ssize_t>(r.target.size()), r.message.data(),
                         static_cast<Py_ssize_t>(r.message.size()), fields);
}

// take(timeout) -> [(level, target, message, fields), ...]: what is queued, after waiting up to
// `timeout` for the first record; [] on timeout; None once the tap is closed or replaced and
// everything queued has been taken.
PyObject* tap_take(PyObject* self, PyObject* arg) {
    Duration timeout{};
    const double seconds = PyFloat_AsDouble(arg);
    if ((seconds == -1.0 && PyErr_Occurred()) || !timeout_of(seconds, timeout)) {
        return nullptr;
    }
    TapCore& core = tap_of(self);
    std::vector<log::Record> taken;
    chan::RecvResult result = chan::RecvResult::Timeout;
    auto outcome = py::wait_in_slices(deadline_after(timeout), [&](Instant until) {
        log::Record first;
        result = core.records.recv_deadline(first, until);
        if (result == chan::RecvResult::Item) {
            taken.push_back(std::move(first));
            core.records.drain(taken);
        }
        return result != chan::RecvResult::Timeout;
    });
    if (outcome == py::WaitOutcome::Interrupted) {
        return nullptr;
    }
    if (result == chan::RecvResult::Disconnected) {
        Py_RETURN_NONE;
    }
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(taken.size()));
    for (size_t i = 0; out != nullptr && i < taken.size(); ++i) {
        PyObject* t = record_tuple(taken[i]);
        if (t == nullptr) {
            Py_CLEAR(out);
            break;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), t);
    }
    return out;
}

PyObject* tap_dropped(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(tap_of(self).dropped->load(std::memory_order_relaxed));
}

PyObject* tap_close(PyObject* self, PyObject*) {
    uninstall(tap_of(self));
    Py_RETURN_NONE;
}

void tap_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    TapCore* core = reinterpret_cast<TapObject*>(self)->core;
    if (core != nullptr) {
        uninstall(*core);
        delete core;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef tap_methods[] = {
    {"take", tap_take, METH_O,
     "take(timeout)\n--\n\nThe queued records (waiting up to timeout for one); None once "
     "closed."},
    {"dropped", tap_dropped, METH_NOARGS,
     "dropped()\n--\n\nRecords lost because the queue was full."},
    {"close", tap_close, METH_NOARGS, "close()\n--\n\nStops collecting records; idempotent."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tap_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tap_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tap_dealloc)},
    {Py_tp_methods, tap_methods},
    {Py_tp_doc, const_cast<char*>("LogTap(level, capacity)\n--\n\nCollects the library's log "
                                  "records of at least `level` (0 trace .. 3 error).")},
    {0, nullptr},
};

PyType_Spec tap_spec = {"corvisk._corvisk_ext.LogTap", sizeof(TapObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, tap_slots};

}  // namespace

int add_log_tap(PyObject* module) {
    return add_type(module, &tap_spec, "LogTap");
}

}  // namespace corvisk::ext
