// Native help for the package's file access (corvisk/files.py): the bytes of a register node
// (the device's file transfer buffer), which no typed feature call reaches, and whether a
// command has finished on the device.
//
// The buffer is read and written in place, only as many bytes as a chunk needs, and never
// through the register cache: its contents change with every file operation the device runs.
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "ext/camera_access.hpp"
#include "ext/parts.hpp"
#include "genicam/registers.hpp"
#include "genicam/resolve.hpp"

namespace corvisk::ext {
namespace {

using corvisk::GenicamResult;

// The register behind feature `name` on the device's own memory, with its location; an
// UnsupportedAccess error names a feature that is no such register.
struct DeviceRegister {
    genicam::NodeId id;
    genicam::RegisterLocation where;
};

GenicamResult<DeviceRegister> device_register(genicam::Genicam& map, genicam::PortIo& port,
                                              const std::string& name) {
    const genicam::NodeId id = CVK_TRY(map.lookup(name));
    const auto* reg = std::get_if<genicam::RegisterNode>(&map.at(id).node);
    if (reg == nullptr || genicam::register_port(map, id).kind != genicam::PortKind::Device) {
        return Err{GenicamError::unsupported_access(name)};
    }
    const genicam::RegisterLocation where = CVK_TRY(genicam::register_address(map, port, id));
    if (where.address < 0 || where.address > UINT32_MAX || where.length < 0 ||
        where.length > genicam::kMaxRegisterLength) {
        return Err{GenicamError::unsupported_access(name)};
    }
    return DeviceRegister{id, where};
}

genicam::AccessMode register_access(const genicam::Genicam& map, genicam::NodeId id) {
    return std::get<genicam::RegisterNode>(map.at(id).node).common.access;
}

PyObject* register_length(PyObject*, PyObject* args) {
    return on_feature(
        args, "Os:register_length",
        [](genicam::Genicam& map, genicam::PortIo& port,
           const std::string& feature) -> GenicamResult<int64_t> {
            return CVK_TRY(device_register(map, port, feature)).where.length;
        },
        [](int64_t length) { return PyLong_FromLongLong(static_cast<long long>(length)); });
}

PyObject* read_register(PyObject*, PyObject* args) {
    PyObject* cam = nullptr;
    const char* name = nullptr;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTuple(args, "Osn:read_register", &cam, &name, &count)) {
        return nullptr;
    }
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    const std::string feature(name);
    auto r = with_map(
        core,
        [&](genicam::Genicam& map, genicam::PortIo& port) -> GenicamResult<std::vector<uint8_t>> {
            const DeviceRegister reg = CVK_TRY(device_register(map, port, feature));
            if (register_access(map, reg.id) == genicam::AccessMode::WO) {
                return Err{GenicamError::not_accessible(feature)};
            }
            if (count < 0 || count > reg.where.length) {
                return Err{GenicamError::formula(
                    feature,
                    fmt::format("{} bytes asked of a {}-byte register", count, reg.where.length))};
            }
            std::vector<uint8_t> bytes(static_cast<size_t>(count));
            if (count > 0) {
                if (auto done = port.read(static_cast<uint64_t>(reg.where.address), bytes);
                    !done.ok()) {
                    return Err{GenicamError(std::move(done).error())};
                }
            }
            return bytes;
        });
    if (!r.ok()) {
        return raise_genicam(r.error());
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r->data()),
                                     static_cast<Py_ssize_t>(r->size()));
}

PyObject* write_register(PyObject*, PyObject* args) {
    PyObject* cam = nullptr;
    const char* name = nullptr;
    Py_buffer data{};
    if (!PyArg_ParseTuple(args, "Osy*:write_register", &cam, &name, &data)) {
        return nullptr;
    }
    const std::vector<uint8_t> bytes(static_cast<const uint8_t*>(data.buf),
                                     static_cast<const uint8_t*>(data.buf) + data.len);
    PyBuffer_Release(&data);
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    const std::string feature(name);
    auto r =
        with_map(core, [&](genicam::Genicam& map, genicam::PortIo& port) -> GenicamResult<int> {
            const DeviceRegister reg = CVK_TRY(device_register(map, port, feature));
            if (register_access(map, reg.id) == genicam::AccessMode::RO) {
                return Err{GenicamError::not_accessible(feature)};
            }
            const auto size = static_cast<int64_t>(bytes.size());
            if (size > reg.where.length) {
                return Err{GenicamError::formula(
                    feature,
                    fmt::format("{} bytes do not fit a {}-byte register", size, reg.where.length))};
            }
            // Whatever the cache held no longer matches the device.
            std::get<genicam::RegisterNode>(map.at(reg.id).node).common.cache.reset();
            if (!bytes.empty()) {
                if (auto done = port.write(static_cast<uint64_t>(reg.where.address), bytes);
                    !done.ok()) {
                    return Err{GenicamError(std::move(done).error())};
                }
            }
            return 0;
        });
    if (!r.ok()) {
        return raise_genicam(r.error());
    }
    Py_RETURN_NONE;
}

// A command is done once its register no longer reads back the value that started it. The
// register's cache would keep showing what was written, so it is dropped first.
GenicamResult<bool> is_done(genicam::Genicam& map, genicam::PortIo& port, genicam::NodeId id) {
    const auto* cmd = std::get_if<genicam::CommandNode>(&map.at(id).node);
    if (cmd == nullptr) {
        return Err{GenicamError::unsupported_access(map.name(id))};
    }
    const genicam::ValueRef value = cmd->value;
    const genicam::ValueRef command_value = cmd->command_value;
    if (!value.is_node() || !value.link().is_resolved()) {
        return true;  // nothing to read back: the write was all there is
    }
    if (auto* reg = std::get_if<genicam::RegisterNode>(&map.at(value.link().id()).node)) {
        if (reg->common.access == genicam::AccessMode::WO) {
            return true;
        }
        reg->common.cache.reset();
    }
    const int64_t started =
        command_value.is_none() ? 1 : CVK_TRY(genicam::ref_int(map, port, command_value));
    const int64_t now = CVK_TRY(genicam::ref_int(map, port, value));
    return now != started;
}

PyObject* command_done(PyObject*, PyObject* args) {
    return on_feature(
        args, "Os:command_done",
        [](genicam::Genicam& map, genicam::PortIo& port, const std::string& feature)
            -> GenicamResult<bool> { return is_done(map, port, CVK_TRY(map.lookup(feature))); },
        [](bool done) { return PyBool_FromLong(done ? 1 : 0); });
}

PyMethodDef kMethods[] = {
    {"register_length", register_length, METH_VARARGS,
     "register_length(camera, name)\n--\n\nThe byte length of a register feature in device "
     "memory."},
    {"read_register", read_register, METH_VARARGS,
     "read_register(camera, name, count)\n--\n\nThe first `count` bytes of a register feature, "
     "read from the device (never from the cache)."},
    {"write_register", write_register, METH_VARARGS,
     "write_register(camera, name, data)\n--\n\nWrites `data` at the start of a register "
     "feature."},
    {"command_done", command_done, METH_VARARGS,
     "command_done(camera, name)\n--\n\nWhether a command has finished on the device (its "
     "register no longer reads back the value that started it)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_file_buffer(PyObject* module) {
    return PyModule_AddFunctions(module, kMethods);
}

}  // namespace corvisk::ext
