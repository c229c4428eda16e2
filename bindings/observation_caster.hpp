// Conversion of a Python observation matrix (a sequence of sequences of
// numbers) into a native ObservationMatrix. Sequences go through the binding
// layer's standard list conversion; the signature text stays list[list[float]].
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <utility>
#include <vector>

#include "vqmixer/observations.hpp"

namespace vqmixer_bindings {

// Owns the converted values and a view of them for the native operations.
class ObservationInput {
public:
    ObservationInput() = default;
    ObservationInput(const ObservationInput&) = delete;
    ObservationInput& operator=(const ObservationInput&) = delete;
    ObservationInput(ObservationInput&&) = default;
    ObservationInput& operator=(ObservationInput&&) = default;

    void adopt_rows(std::vector<std::vector<double>>&& rows) {
        rows_ = std::move(rows);
        view_ = vqmixer::ObservationMatrix(rows_);
    }

    const vqmixer::ObservationMatrix& view() const { return view_; }

private:
    std::vector<std::vector<double>> rows_;
    vqmixer::ObservationMatrix view_;
};

}  // namespace vqmixer_bindings

namespace pybind11 {
namespace detail {

template <>
struct type_caster<vqmixer_bindings::ObservationInput> {
    using Rows = std::vector<std::vector<double>>;

public:
    PYBIND11_TYPE_CASTER(vqmixer_bindings::ObservationInput, make_caster<Rows>::name);

    bool load(handle src, bool convert) {
        make_caster<Rows> rows;
        if (!rows.load(src, convert)) return false;
        value.adopt_rows(cast_op<Rows&&>(std::move(rows)));
        return true;
    }

    // Observation matrices only travel from Python into the module.
    static handle cast(const vqmixer_bindings::ObservationInput&, return_value_policy, handle) {
        return nullptr;
    }
};

}  // namespace detail
}  // namespace pybind11
