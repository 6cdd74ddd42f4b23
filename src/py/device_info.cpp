// The Python DeviceInfo class: immutable, created only by the library (discovery, Camera).
#include "py/device_info.hpp"

#include <new>
#include <string>

#include <fmt/format.h>

#include "py/convert.hpp"

namespace corvisk::py {
namespace {

struct DeviceInfoObject {
    PyObject ob_base;  // PyObject_HEAD
    bootstrap::DeviceInfo info;
};

const bootstrap::DeviceInfo& info_of(PyObject* self) {
    return reinterpret_cast<DeviceInfoObject*>(self)->info;
}

void device_info_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<DeviceInfoObject*>(self)->info.~DeviceInfo();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* device_info_repr(PyObject* self) {
    return guard_cxx<PyObject*>(nullptr, [&] {
        const bootstrap::DeviceInfo& d = info_of(self);
        return to_str(fmt::format("DeviceInfo({} {} serial={} ip={})", d.manufacturer, d.model,
                                  d.serial, bootstrap::format_ip(d.ip)))
            .release();
    });
}

// Getter for a text property computed from the record.
template <std::string (*Text)(const bootstrap::DeviceInfo&)>
PyObject* get_text(PyObject* self, void*) {
    return guard_cxx<PyObject*>(nullptr, [&] { return to_str(Text(info_of(self))).release(); });
}

// Getter for a stored text field.
template <std::string bootstrap::DeviceInfo::*Field>
PyObject* get_field(PyObject* self, void*) {
    return to_str(info_of(self).*Field).release();
}

std::string ip_text(const bootstrap::DeviceInfo& d) {
    return bootstrap::format_ip(d.ip);
}
std::string mac_text(const bootstrap::DeviceInfo& d) {
    return bootstrap::format_mac(d.mac);
}
std::string gateway_text(const bootstrap::DeviceInfo& d) {
    return bootstrap::format_ip(d.gateway);
}
std::string subnet_text(const bootstrap::DeviceInfo& d) {
    return bootstrap::format_ip(d.subnet_mask);
}

PyObject* get_spec_version(PyObject* self, void*) {
    const bootstrap::DeviceInfo& d = info_of(self);
    return Py_BuildValue("(ii)", static_cast<int>(d.spec_major), static_cast<int>(d.spec_minor));
}

using bootstrap::DeviceInfo;

PyGetSetDef device_info_getset[] = {
    {"ip", get_text<ip_text>, nullptr, nullptr, nullptr},
    {"mac", get_text<mac_text>, nullptr, nullptr, nullptr},
    {"model", get_field<&DeviceInfo::model>, nullptr, nullptr, nullptr},
    {"serial", get_field<&DeviceInfo::serial>, nullptr, nullptr, nullptr},
    {"gateway", get_text<gateway_text>, nullptr, nullptr, nullptr},
    {"subnet_mask", get_text<subnet_text>, nullptr, nullptr, nullptr},
    {"manufacturer", get_field<&DeviceInfo::manufacturer>, nullptr, nullptr, nullptr},
    {"spec_version", get_spec_version, nullptr, nullptr, nullptr},
    {"device_version", get_field<&DeviceInfo::device_version>, nullptr, nullptr, nullptr},
    {"manufacturer_info", get_field<&DeviceInfo::manufacturer_info>, nullptr, nullptr, nullptr},
    {"user_defined_name", get_field<&DeviceInfo::user_defined_name>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot device_info_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(device_info_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(device_info_repr)},
    {Py_tp_getset, device_info_getset},
    {0, nullptr},
};

PyType_Spec device_info_spec = {
    "corvisk.DeviceInfo",
    sizeof(DeviceInfoObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    device_info_slots,
};

}  // namespace

PyRef device_info_type_create(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &device_info_spec, nullptr));
}

PyRef device_info_new(const ModuleState& state, const bootstrap::DeviceInfo& info) {
    PyTypeObject* type = state.device_info_type;
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) {
        return obj;
    }
    // Construct a valid (empty) record first so dealloc is always safe, then copy into it; a
    // failing copy leaves a valid record that the PyRef's release destroys.
    auto* raw = reinterpret_cast<DeviceInfoObject*>(obj.get());
    new (&raw->info) bootstrap::DeviceInfo();
    return guard_cxx<PyRef>(PyRef(), [&] {
        raw->info = info;
        return std::move(obj);
    });
}

}  // namespace corvisk::py
