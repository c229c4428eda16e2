// Guards of the binding layer against instances that do not hold what their
// Python type claims.
//
// The binding library creates an instance's memory in __new__ and the native
// value only in __init__; in between (an instance made with cls.__new__(cls),
// or `self` used in a subclass's __init__ before the base __init__ ran) its
// casters would hand out a reference to uninitialised storage. Every instance
// of the four classes is therefore checked, before it is read, for a value
// that __init__ (or unpickling) actually constructed.
//
// The other hazard is type confusion. All classes of the binding library share
// one instance layout, so CPython lets `obj.__class__ = OtherClass` (and a
// Python class with two of the module's classes as bases) reinterpret one
// native value as another. Each class is given a layout of its own, one word
// larger than the shared one: CPython then refuses those __class__
// assignments ("object layout differs") and such multiple inheritance
// ("instance lay-out conflict") itself, whichever path the assignment takes.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "vqmixer/gaussian_mixture.hpp"
#include "vqmixer/linde_buzo_gray.hpp"
#include "vqmixer/records.hpp"

namespace vqmixer_bindings {

// Passed to py::class_ of each of the module's classes.
inline pybind11::custom_type_setup own_layout() {
    return pybind11::custom_type_setup([](PyHeapTypeObject* heap_type) {
        heap_type->ht_type.tp_basicsize += static_cast<Py_ssize_t>(sizeof(void*));
    });
}

// Calling the binding library's shared base class itself (or a Python class
// derived from it and from none of the registered classes) aborts the process
// in its __new__ ("no pybind11-registered base types"); pickle's protocols 0
// and 1 reach it through copyreg. Refuse such calls with TypeError instead.
namespace detail {

inline newfunc& shared_base_new() {
    static newfunc original = nullptr;
    return original;
}

extern "C" inline PyObject* guarded_shared_base_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (pybind11::detail::all_type_info(type).empty()) {
        PyErr_Format(PyExc_TypeError, "cannot create '%.200s' instances: the type wraps no native class",
                     type->tp_name);
        return nullptr;
    }
    return shared_base_new()(type, args, kwargs);
}

}  // namespace detail

inline void guard_shared_base_new() {
    auto* base = reinterpret_cast<PyTypeObject*>(pybind11::detail::get_internals().instance_base);
    if (base->tp_new == detail::guarded_shared_base_new) return;  // already guarded
    detail::shared_base_new() = base->tp_new;
    base->tp_new = detail::guarded_shared_base_new;
}

}  // namespace vqmixer_bindings

namespace pybind11 {
namespace detail {

// Loads an instance of one of the module's classes only if its native value
// was constructed; otherwise raises TypeError. None and other types fall
// through to the standard loader, which rejects them as incompatible.
template <typename T>
class constructed_instance_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) {
        if (src && !src.is_none()) {
            const type_info* tinfo = get_type_info(typeid(T));
            if (tinfo != nullptr && PyType_IsSubtype(Py_TYPE(src.ptr()), tinfo->type)) {
                auto v_h = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(tinfo, false);
                if (!v_h || !v_h.holder_constructed())
                    throw type_error(std::string(Py_TYPE(src.ptr())->tp_name) +
                                     " instance is not initialized: " + tinfo->type->tp_name +
                                     ".__init__() has not run on it");
            }
        }
        return type_caster_base<T>::load(src, convert);
    }
};

template <>
class type_caster<vqmixer::RArg> : public constructed_instance_caster<vqmixer::RArg> {};
template <>
class type_caster<vqmixer::RModelStage> : public constructed_instance_caster<vqmixer::RModelStage> {};
template <>
class type_caster<vqmixer::TLindeBuzoGray> : public constructed_instance_caster<vqmixer::TLindeBuzoGray> {};
template <>
class type_caster<vqmixer::TGaussianMixture>
    : public constructed_instance_caster<vqmixer::TGaussianMixture> {};

}  // namespace detail
}  // namespace pybind11
