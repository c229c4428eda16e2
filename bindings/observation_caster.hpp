// Conversion of a Python observation matrix into a native ObservationMatrix.
//
// Two roads lead in, and both produce the same doubles:
//  - an object that exposes a two-dimensional buffer of plain numbers (a numpy
//    array of floats, ints, unsigned ints or bools, in any memory order) is
//    copied straight into one contiguous row-major block, with no Python call
//    per element;
//  - everything else (lists, tuples, arrays of other kinds or dimensions) goes
//    through the binding layer's standard list conversion and keeps its errors.
// The signature text stays list[list[float]] either way.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <limits>
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
    ObservationInput(ObservationInput&&) = delete;
    ObservationInput& operator=(ObservationInput&&) = delete;

    void adopt_rows(std::vector<std::vector<double>>&& rows) {
        rows_ = std::move(rows);
        view_ = vqmixer::ObservationMatrix(rows_);
    }

    // n rows of d values, row-major. An empty matrix has no row 0 and so no
    // dimension, the same as an empty list.
    void adopt_block(std::vector<double>&& block, std::size_t n, std::size_t d) {
        block_ = std::move(block);
        view_ = vqmixer::ObservationMatrix(block_.data(), n, n == 0 ? 0 : d);
    }

    // Reads a C-ordered block of doubles in place; the buffer stays exported
    // (so numpy refuses to resize or free it) until this input is destroyed,
    // at the end of the call, with the interpreter lock held.
    void adopt_buffer(Py_buffer& view, std::size_t n, std::size_t d) {
        buffer_ = view;
        has_buffer_ = true;
        view_ = vqmixer::ObservationMatrix(static_cast<const double*>(buffer_.buf), n, n == 0 ? 0 : d);
    }

    ~ObservationInput() {
        if (has_buffer_) PyBuffer_Release(&buffer_);
    }

    const vqmixer::ObservationMatrix& view() const { return view_; }

private:
    std::vector<std::vector<double>> rows_;
    std::vector<double> block_;
    Py_buffer buffer_{};
    bool has_buffer_ = false;
    vqmixer::ObservationMatrix view_;
};

namespace buffer_input {

// What one element of a buffer is, as far as the conversion cares.
enum class Kind { Signed, Unsigned, Bool, Float, LongDouble, Unsupported };

struct Element {
    Kind kind = Kind::Unsupported;
    bool swap = false;  // stored in the other byte order
};

// Reads a struct-module format string of one plain number ("d", "<f", ">q",
// "?", ...). Sizes come from the buffer's itemsize, which is checked against
// the kinds that have a C type of that size. Anything else (half floats,
// complex, objects, records, repeat counts) is left to the generic path.
inline Element classify(const char* format, Py_ssize_t itemsize) {
    Element e;
    if (format == nullptr) format = "B";  // the buffer protocol's default
    const bool host_little = PY_LITTLE_ENDIAN != 0;
    bool little = host_little;  // '@', '=' or no prefix: this machine's order
    bool own_sizes = true;      // '@' or no prefix: native sizes and alignment
    switch (*format) {
        case '@': ++format; break;
        case '=': ++format; own_sizes = false; break;
        case '<': ++format; own_sizes = false; little = true; break;
        case '>':
        case '!': ++format; own_sizes = false; little = false; break;
        default: break;
    }
    if (format[0] == '\0' || format[1] != '\0') return e;
    e.swap = little != host_little;
    switch (format[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            e.kind = Kind::Signed;
            break;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
            e.kind = Kind::Unsigned;
            break;
        case '?':
            e.kind = Kind::Bool;
            break;
        case 'f': case 'd':
            e.kind = Kind::Float;
            break;
        case 'g':
            e.kind = Kind::LongDouble;
            break;
        default:
            return Element{};
    }
    const bool size_ok = [&] {
        switch (e.kind) {
            case Kind::Signed:
            case Kind::Unsigned: return itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
            case Kind::Bool: return itemsize == 1;
            case Kind::Float: return itemsize == 4 || itemsize == 8;
            // only this machine's own long double, in its own byte order
            case Kind::LongDouble: return own_sizes && itemsize == static_cast<Py_ssize_t>(sizeof(long double));
            default: return false;
        }
    }();
    if (!size_ok) e.kind = Kind::Unsupported;
    return e;
}

template <typename T>
inline T load(const char* p, bool swap) {
    T v;
    if (!swap) {
        std::memcpy(&v, p, sizeof(T));
        return v;
    }
    char b[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) b[i] = p[sizeof(T) - 1 - i];
    std::memcpy(&v, b, sizeof(T));
    return v;
}

// The value float() gives for one element: numpy's scalar __float__ is a C
// conversion, i.e. exact widening for float32 and integers up to 2^53, and
// round to nearest, ties to even, for wider integers and long double.
template <typename T>
inline void copy_as_double(const Py_buffer& view, double* out, bool swap, bool as_bool) {
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t d = view.shape[1];
    const Py_ssize_t s0 = view.strides ? view.strides[0] : d * view.itemsize;
    const Py_ssize_t s1 = view.strides ? view.strides[1] : view.itemsize;
    const char* base = static_cast<const char*>(view.buf);
    const auto value = [&](const char* p) -> double {
        if (as_bool) return *p != 0 ? 1.0 : 0.0;
        return static_cast<double>(load<T>(p, swap));
    };
    const auto magnitude = [](Py_ssize_t s) { return s < 0 ? -s : s; };
    if (magnitude(s0) < magnitude(s1)) {
        // Column-major (Fortran order, a transpose): walk down the columns of
        // a block of rows, so the reads run along memory and the block's
        // output rows stay in cache.
        constexpr Py_ssize_t kBlock = 256;
        for (Py_ssize_t i0 = 0; i0 < n; i0 += kBlock) {
            const Py_ssize_t i1 = i0 + kBlock < n ? i0 + kBlock : n;
            for (Py_ssize_t k = 0; k < d; ++k) {
                const char* col = base + k * s1;
                for (Py_ssize_t i = i0; i < i1; ++i) out[i * d + k] = value(col + i * s0);
            }
        }
        return;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char* row = base + i * s0;
        double* o = out + i * d;
        if (!as_bool && !swap && s1 == static_cast<Py_ssize_t>(sizeof(T)) &&
            reinterpret_cast<std::uintptr_t>(row) % alignof(T) == 0) {
            const T* r = reinterpret_cast<const T*>(row);
            for (Py_ssize_t k = 0; k < d; ++k) o[k] = static_cast<double>(r[k]);
        } else {
            for (Py_ssize_t k = 0; k < d; ++k) o[k] = value(row + k * s1);
        }
    }
}

// Releases a Py_buffer on every way out.
struct BufferGuard {
    Py_buffer view{};
    bool held = false;
    ~BufferGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

// Fills `out` from a 2-D number buffer. Returns false, with no Python error
// set, when the object is not such a buffer; the generic path then decides.
inline bool load_buffer(PyObject* src, ObservationInput& out) {
    if (!PyObject_CheckBuffer(src)) return false;
    BufferGuard g;
    if (PyObject_GetBuffer(src, &g.view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    g.held = true;
    const Py_buffer& v = g.view;
    if (v.ndim != 2 || v.shape == nullptr) return false;
    const Element e = classify(v.format, v.itemsize);
    if (e.kind == Kind::Unsupported) return false;

    const auto n = static_cast<std::size_t>(v.shape[0]);
    const auto d = static_cast<std::size_t>(v.shape[1]);
    // Doubles of this machine in C order are already the block the native
    // side reads: no copy at all, the values are the ones float() gives.
    const Py_ssize_t s0 = v.strides ? v.strides[0] : v.shape[1] * v.itemsize;
    const Py_ssize_t s1 = v.strides ? v.strides[1] : v.itemsize;
    if (e.kind == Kind::Float && v.itemsize == 8 && !e.swap && s1 == 8 && s0 == v.shape[1] * 8 &&
        reinterpret_cast<std::uintptr_t>(v.buf) % alignof(double) == 0) {
        g.held = false;  // handed over to `out`
        out.adopt_buffer(g.view, n, d);
        return true;
    }
    // Counts beyond 32 bits are for the native side to refuse, as it does for
    // lists; only guard the size of the one allocation here.
    if (d != 0 && n > std::numeric_limits<std::size_t>::max() / sizeof(double) / d) throw std::bad_alloc();
    std::vector<double> block(n * d);
    double* o = block.data();
    const bool swap = e.swap;
    switch (e.kind) {
        case Kind::Bool: copy_as_double<std::uint8_t>(v, o, false, true); break;
        case Kind::Signed:
            switch (v.itemsize) {
                case 1: copy_as_double<std::int8_t>(v, o, swap, false); break;
                case 2: copy_as_double<std::int16_t>(v, o, swap, false); break;
                case 4: copy_as_double<std::int32_t>(v, o, swap, false); break;
                default: copy_as_double<std::int64_t>(v, o, swap, false); break;
            }
            break;
        case Kind::Unsigned:
            switch (v.itemsize) {
                case 1: copy_as_double<std::uint8_t>(v, o, swap, false); break;
                case 2: copy_as_double<std::uint16_t>(v, o, swap, false); break;
                case 4: copy_as_double<std::uint32_t>(v, o, swap, false); break;
                default: copy_as_double<std::uint64_t>(v, o, swap, false); break;
            }
            break;
        case Kind::Float:
            if (v.itemsize == 4)
                copy_as_double<float>(v, o, swap, false);
            else
                copy_as_double<double>(v, o, swap, false);
            break;
        case Kind::LongDouble: copy_as_double<long double>(v, o, false, false); break;
        default: return false;
    }
    out.adopt_block(std::move(block), n, d);
    return true;
}

}  // namespace buffer_input
}  // namespace vqmixer_bindings

namespace pybind11 {
namespace detail {

template <>
struct type_caster<vqmixer_bindings::ObservationInput> {
    using Rows = std::vector<std::vector<double>>;

public:
    PYBIND11_TYPE_CASTER(vqmixer_bindings::ObservationInput, make_caster<Rows>::name);

    bool load(handle src, bool convert) {
        if (vqmixer_bindings::buffer_input::load_buffer(src.ptr(), value)) return true;
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
