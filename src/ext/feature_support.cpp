// Native help for the package's feature facade and settings: what the introspection records do
// not say but a checked write needs (the byte capacity of a string feature), and the device
// description the connection fetched (already unzipped), for saving it to a file.
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ext/camera_access.hpp"
#include "ext/parts.hpp"
#include "genicam/registers.hpp"
#include "gige/camera.hpp"

namespace corvisk::ext {
namespace {

using corvisk::GenicamResult;

// A String feature's links are followed at most this far: descriptions chain a String to its
// StringReg directly, and a cycle must end.
constexpr int kMaxStringHops = 32;

// The byte length of the string register behind `id`, or nothing when the feature keeps its
// text in the description itself (no register: no fixed capacity) or is no string at all.
GenicamResult<std::optional<int64_t>> string_capacity(genicam::Genicam& map, genicam::PortIo& port,
                                                      genicam::NodeId id) {
    for (int hop = 0; hop < kMaxStringHops; ++hop) {
        const genicam::Node& n = map.at(id).node;
        if (const auto* s = std::get_if<genicam::StringNode>(&n)) {
            if (!s->value.is_node() || !s->value.link().is_resolved()) {
                return std::optional<int64_t>{};
            }
            id = s->value.link().id();
            continue;
        }
        const auto* reg = std::get_if<genicam::RegisterNode>(&n);
        if (reg == nullptr || !std::holds_alternative<genicam::StringKind>(reg->kind)) {
            return std::optional<int64_t>{};
        }
        const genicam::RegisterLocation where = CVK_TRY(genicam::register_address(map, port, id));
        return std::optional<int64_t>{where.length};
    }
    return std::optional<int64_t>{};
}

PyObject* string_max_length(PyObject*, PyObject* args) {
    return on_feature(
        args, "Os:string_max_length",
        [](genicam::Genicam& map, genicam::PortIo& port,
           const std::string& feature) -> GenicamResult<std::optional<int64_t>> {
            return string_capacity(map, port, CVK_TRY(map.lookup(feature)));
        },
        [](const std::optional<int64_t>& capacity) -> PyObject* {
            if (!capacity) {
                Py_RETURN_NONE;
            }
            return PyLong_FromLongLong(static_cast<long long>(*capacity));
        });
}

PyObject* description_xml(PyObject*, PyObject* cam) {
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    auto r = with_map(
        core,
        [&](genicam::Genicam&,
            genicam::PortIo&) -> GenicamResult<std::shared_ptr<const std::vector<uint8_t>>> {
            const gige::Connection* conn = core->camera.transport().connection();
            return conn != nullptr ? conn->xml_cache : nullptr;
        });
    if (!r.ok()) {
        return raise_genicam(r.error());
    }
    const std::shared_ptr<const std::vector<uint8_t>>& doc = *r;
    if (!doc) {
        return PyBytes_FromStringAndSize(nullptr, 0);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(doc->data()),
                                     static_cast<Py_ssize_t>(doc->size()));
}

PyMethodDef kMethods[] = {
    {"string_max_length", string_max_length, METH_VARARGS,
     "string_max_length(camera, name)\n--\n\nThe byte capacity of a string feature's register, "
     "or None when it has none."},
    {"description_xml", description_xml, METH_O,
     "description_xml(camera)\n--\n\nThe device description the connection fetched, as bytes "
     "(unzipped)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_feature_support(PyObject* module) {
    return PyModule_AddFunctions(module, kMethods);
}

}  // namespace corvisk::ext
