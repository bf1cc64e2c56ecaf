#include "python/payload_descriptor.hpp"

#include <new>

#include "python/binder.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace weftory::py {

using store::PayloadDescriptor;

namespace {

struct PayloadDescriptorObject {
  PyObject_HEAD
  PayloadDescriptor value;
};

constexpr Param kNewParams[] = {
    {"kind", true, true},      {"content_hash", true, true}, {"framework", true, true},
    {"version", true, true},   {"io_schema", true, true},    {"preprocessing_ref", true, false},
};
constexpr Signature kNewSignature{"PayloadDescriptor.__new__", kNewParams};

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_point([&]() -> PyObject* {
    std::array<PyObject*, std::size(kNewParams)> bound{};
    bind_tuple(kNewSignature, args, kwargs, bound);
    PayloadDescriptor d;
    d.kind = convert_arg("kind", [&] { return to_text(bound[0]); });
    d.content_hash = convert_arg("content_hash", [&] { return to_text(bound[1]); });
    d.framework = convert_arg("framework", [&] { return to_text(bound[2]); });
    d.version = convert_arg("version", [&] { return to_text(bound[3]); });
    d.io_schema = convert_arg("io_schema", [&] { return to_text(bound[4]); });
    if (bound[5] && bound[5] != Py_None) {
      d.preprocessing_ref = convert_arg("preprocessing_ref", [&] { return to_text(bound[5]); });
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) throw_python_error();
    new (&reinterpret_cast<PayloadDescriptorObject*>(self)->value) PayloadDescriptor(std::move(d));
    return self;
  });
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PayloadDescriptorObject*>(self)->value.~PayloadDescriptor();
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kDoc =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata that an External node carries: the payload's kind, content hash, framework, "
    "version and I/O schema, and an optional preprocessing reference. It participates in the structural "
    "hash of the node, so two External nodes are one node only when their descriptors are equal.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "weftory_core.PayloadDescriptor",
    sizeof(PayloadDescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* create_payload_descriptor_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

const PayloadDescriptor* payload_descriptor_value(const ModuleState& state, PyObject* obj) {
  if (!state.payload_descriptor_type || !PyObject_TypeCheck(obj, state.payload_descriptor_type)) return nullptr;
  return &reinterpret_cast<PayloadDescriptorObject*>(obj)->value;
}

}  // namespace weftory::py
