// The Python face of the module: four classes, registered in a fixed order.
// Methods are bound through lambdas that take the instance by reference, so
// None in place of `self` is rejected as an incompatible argument instead of
// reaching a member function as null; an instance whose __init__ never ran is
// turned away with TypeError by the casters of instance_guards.hpp.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <Python.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "instance_guards.hpp"
#include "observation_caster.hpp"
#include "vqmixer/gaussian_mixture.hpp"
#include "vqmixer/linde_buzo_gray.hpp"
#include "vqmixer/records.hpp"

namespace py = pybind11;
using vqmixer::RArg;
using vqmixer::RModelStage;
using vqmixer::TGaussianMixture;
using vqmixer::TLindeBuzoGray;
using vqmixer_bindings::ObservationInput;
using vqmixer_bindings::own_layout;

namespace {

// Lets Ctrl-C end a long call: the native loops call this between steps.
void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// Pickle and copy. The state is a tuple whose first item is the format
// version, followed by the fields in declaration order. Restoring checks every
// item the way the field's setter would and raises TypeError on anything
// else, so a damaged or forged state can never yield a half-built record.
constexpr int kStateVersion = 1;

void checked_state(const py::tuple& state, std::size_t size, const char* cls) {
    if (state.size() != size)
        throw py::type_error(std::string(cls) + ".__setstate__: expected a state of " + std::to_string(size) +
                             " items, got " + std::to_string(state.size()));
    py::detail::make_caster<int> version;
    if (!PyLong_CheckExact(state[0].ptr()) || !version.load(state[0], false) ||
        py::detail::cast_op<int>(version) != kStateVersion)
        throw py::type_error(std::string(cls) + ".__setstate__: unsupported state version " +
                             py::repr(state[0]).cast<std::string>());
}

template <typename T>
T state_item(const py::tuple& state, std::size_t i, const char* cls, const char* field) {
    py::detail::make_caster<T> caster;
    if (!caster.load(state[i], true))
        throw py::type_error(std::string(cls) + ".__setstate__: field " + field + " cannot take " +
                             py::repr(state[i]).cast<std::string>());
    return py::detail::cast_op<T&&>(std::move(caster));
}

// __reduce__ shared by the four classes: rebuild through cls.__new__ and
// __setstate__, under every pickle protocol (protocols 0 and 1 would otherwise
// go through copyreg, which cannot create these instances).
py::tuple reduce_with_state(const py::object& self) {
    return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                          py::make_tuple(py::type::of(self)), self.attr("__getstate__")());
}

}  // namespace

PYBIND11_MODULE(vqmixer, m) {
    vqmixer_bindings::guard_shared_base_new();

    py::class_<RArg>(m, "RArg", own_layout())
        .def(py::init<>())
        .def_readwrite("indexCmp", &RArg::indexCmp)
        .def_readwrite("indexCls", &RArg::indexCls)
        .def_readwrite("maxVar", &RArg::maxVar)
        .def_readwrite("Mean", &RArg::Mean)
        .def_readwrite("Var", &RArg::Var)
        .def(py::pickle(
            [](const RArg& a) {
                return py::make_tuple(kStateVersion, a.indexCmp, a.indexCls, a.maxVar, a.Mean, a.Var);
            },
            [](const py::tuple& t) {
                const char* cls = "RArg";
                checked_state(t, 6, cls);
                RArg a;
                a.indexCmp = state_item<std::int32_t>(t, 1, cls, "indexCmp");
                a.indexCls = state_item<std::int32_t>(t, 2, cls, "indexCls");
                a.maxVar = state_item<double>(t, 3, cls, "maxVar");
                a.Mean = state_item<std::vector<double>>(t, 4, cls, "Mean");
                a.Var = state_item<std::vector<double>>(t, 5, cls, "Var");
                return a;
            }))
        .def("__reduce__", &reduce_with_state);

    py::class_<RModelStage>(m, "RModelStage", own_layout())
        .def(py::init<>())
        .def_readwrite("Flag", &RModelStage::Flag)
        .def_readwrite("Cls", &RModelStage::Cls)
        .def_readwrite("indexCmp", &RModelStage::indexCmp)
        .def_readwrite("indexCls", &RModelStage::indexCls)
        .def_readwrite("maxVar", &RModelStage::maxVar)
        .def_readwrite("lnGaussPrb", &RModelStage::lnGaussPrb)
        .def_readwrite("Mean", &RModelStage::Mean)
        .def_readwrite("Var", &RModelStage::Var)
        .def_readwrite("lnVar", &RModelStage::lnVar)
        .def(py::pickle(
            [](const RModelStage& s) {
                return py::make_tuple(kStateVersion, s.Flag, s.Cls, s.indexCmp, s.indexCls, s.maxVar,
                                      s.lnGaussPrb, s.Mean, s.Var, s.lnVar);
            },
            [](const py::tuple& t) {
                using Rows = std::vector<std::vector<double>>;
                const char* cls = "RModelStage";
                checked_state(t, 10, cls);
                if (!PyBool_Check(t[1].ptr()))
                    throw py::type_error("RModelStage.__setstate__: field Flag cannot take " +
                                         py::repr(t[1]).cast<std::string>());
                RModelStage s;
                s.Flag = t[1].ptr() == Py_True;
                s.Cls = state_item<std::int32_t>(t, 2, cls, "Cls");
                s.indexCmp = state_item<std::int32_t>(t, 3, cls, "indexCmp");
                s.indexCls = state_item<std::int32_t>(t, 4, cls, "indexCls");
                s.maxVar = state_item<double>(t, 5, cls, "maxVar");
                s.lnGaussPrb = state_item<std::vector<double>>(t, 6, cls, "lnGaussPrb");
                s.Mean = state_item<Rows>(t, 7, cls, "Mean");
                s.Var = state_item<Rows>(t, 8, cls, "Var");
                s.lnVar = state_item<Rows>(t, 9, cls, "lnVar");
                return s;
            }))
        .def("__reduce__", &reduce_with_state);

    // The two algorithm classes hold no state of their own: they pickle as a
    // version number and come back freshly constructed.
    py::class_<TLindeBuzoGray>(m, "TLindeBuzoGray", own_layout())
        .def(py::init<>())
        .def("EvklDistance",
             [](const TLindeBuzoGray& self, double a, double b, int n) {
                 // From Python each vector is one value: a longer count would read past it.
                 if (n > 1)
                     throw std::invalid_argument("EvklDistance: count " + std::to_string(n) +
                                                 " exceeds the single value each argument holds; use 0 or 1");
                 return self.EvklDistance(&a, &b, n);
             })
        .def("RandomInitPoint",
             [](const TLindeBuzoGray& self, const ObservationInput& X, int count) {
                 return self.RandomInitPoint(X.view(), count);
             })
        .def("LindeBuzoGray_N",
             [](const TLindeBuzoGray& self, const ObservationInput& X, int K) {
                 return self.LindeBuzoGray_N(X.view(), K, check_signals);
             })
        .def("K_MeanGeneral", [](const TLindeBuzoGray& self, const ObservationInput& X, RModelStage S) {
            return self.K_MeanGeneral(X.view(), std::move(S), check_signals);
        })
        .def(py::pickle([](const TLindeBuzoGray&) { return py::make_tuple(kStateVersion); },
                        [](const py::tuple& t) {
                            checked_state(t, 1, "TLindeBuzoGray");
                            return TLindeBuzoGray();
                        }))
        .def("__reduce__", &reduce_with_state);

    py::class_<TGaussianMixture>(m, "TGaussianMixture", own_layout())
        .def(py::init<>())
        .def("EM_Alg",
             [](const TGaussianMixture& self, const ObservationInput& X, int K) {
                 return self.EM_Alg(X.view(), K, check_signals);
             })
        .def("Likelihood", [](const TGaussianMixture& self, const ObservationInput& X, RModelStage stage) {
            return self.Likelihood(X.view(), std::move(stage));
        })
        .def(py::pickle([](const TGaussianMixture&) { return py::make_tuple(kStateVersion); },
                        [](const py::tuple& t) {
                            checked_state(t, 1, "TGaussianMixture");
                            return TGaussianMixture();
                        }))
        .def("__reduce__", &reduce_with_state);
}
