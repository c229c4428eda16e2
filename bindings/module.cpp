// The Python face of the module: four classes, registered in a fixed order.
// Methods are bound through lambdas that take the instance by reference, so
// None (or an unconstructed instance) in place of `self` is rejected as an
// incompatible argument instead of reaching a member function as null.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <Python.h>

#include <stdexcept>
#include <string>

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

namespace {

// Lets Ctrl-C end a long call: the native loops call this between steps.
void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

PYBIND11_MODULE(vqmixer, m) {
    py::class_<RArg>(m, "RArg")
        .def(py::init<>())
        .def_readwrite("indexCmp", &RArg::indexCmp)
        .def_readwrite("indexCls", &RArg::indexCls)
        .def_readwrite("maxVar", &RArg::maxVar)
        .def_readwrite("Mean", &RArg::Mean)
        .def_readwrite("Var", &RArg::Var);

    py::class_<RModelStage>(m, "RModelStage")
        .def(py::init<>())
        .def_readwrite("Flag", &RModelStage::Flag)
        .def_readwrite("Cls", &RModelStage::Cls)
        .def_readwrite("indexCmp", &RModelStage::indexCmp)
        .def_readwrite("indexCls", &RModelStage::indexCls)
        .def_readwrite("maxVar", &RModelStage::maxVar)
        .def_readwrite("lnGaussPrb", &RModelStage::lnGaussPrb)
        .def_readwrite("Mean", &RModelStage::Mean)
        .def_readwrite("Var", &RModelStage::Var)
        .def_readwrite("lnVar", &RModelStage::lnVar);

    py::class_<TLindeBuzoGray>(m, "TLindeBuzoGray")
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
        });

    py::class_<TGaussianMixture>(m, "TGaussianMixture")
        .def(py::init<>())
        .def("EM_Alg",
             [](const TGaussianMixture& self, const ObservationInput& X, int K) {
                 return self.EM_Alg(X.view(), K, check_signals);
             })
        .def("Likelihood", [](const TGaussianMixture& self, const ObservationInput& X, RModelStage stage) {
            return self.Likelihood(X.view(), std::move(stage));
        });
}
