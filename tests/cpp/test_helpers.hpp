// Small helpers shared by the engine tests: bit patterns, NaN payloads and failure checks.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cstdint>
#include <exception>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "knn/core/imputer.hpp"
#include "knn/core/panic.hpp"
#include "knn/row/impute.hpp"

namespace mirel::knn::testing {

inline constexpr double INF = std::numeric_limits<double>::infinity();
inline constexpr double MAX = std::numeric_limits<double>::max();

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
inline double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

// NaN patterns that a caller may hand in: the quiet NaN of either sign, a NaN with a payload,
// a negative one with a payload and a signalling one. Every one of them marks a missing cell.
inline const double NAN_Q = from_bits(0x7FF8000000000000ULL);
inline const double NAN_NEG = from_bits(0xFFF8000000000000ULL);
inline const double NAN_PAYLOAD = from_bits(0x7FF800000000BEEFULL);
inline const double NAN_NEG_PAYLOAD = from_bits(0xFFF8000000C0FFEEULL);
inline const double NAN_SIGNALLING = from_bits(0x7FF0000000000001ULL);
inline const double NAN_ = NAN_Q;

inline std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    out.reserve(v.size());
    for (const double d : v) {
        out.push_back(bits(d));
    }
    return out;
}

// Runs `f` and checks that it stops with an internal failure carrying exactly `expected`.
template <class F>
::testing::AssertionResult panics_with(F&& f, std::string_view expected) {
    try {
        f();
    } catch (const Panic& e) {
        if (std::string_view(e.what()) == expected) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "failed with \"" << e.what() << "\", expected \"" << expected << "\"";
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "threw something other than Panic: " << e.what();
    }
    return ::testing::AssertionFailure() << "did not fail; expected \"" << expected << "\"";
}

// Runs `f` and returns the message of the internal failure it stops with ("" if none).
template <class F>
std::string panic_message(F&& f) {
    try {
        f();
    } catch (const Panic& e) {
        return e.what();
    }
    return {};
}

inline KnnImputer fitted_imputer(std::uint32_t k, std::string metric, std::string weights, std::vector<double> values,
                                 std::size_t rows, std::size_t cols) {
    KnnImputer imp = KnnImputer::create(k, std::move(metric), std::move(weights));
    imp.store_fitted(std::move(values), rows, cols);
    return imp;
}

// The two implementations of the pass; every pass test runs against both.
using PassFn = ImputeResult (*)(const KnnImputer&, std::span<const double>, std::size_t);

struct PassImpl {
    const char* name;
    PassFn fn;
};

// A test-name suffix made of the parameter's index and a readable, identifier-safe text.
inline std::string readable_name(std::size_t index, std::string_view text) {
    std::string out = std::to_string(index) + "_";
    for (const unsigned char ch : text.substr(0, 32)) {
        out += std::isalnum(ch) ? static_cast<char>(ch) : '_';
    }
    return out;
}

inline std::string impl_name(const ::testing::TestParamInfo<PassImpl>& info) { return info.param.name; }

inline std::vector<double> values_of(const ImputeResult& result) {
    if (const auto* err = std::get_if<UnknownMetric>(&result)) {
        ADD_FAILURE() << "unexpected metric error: " << err->message;
        return {};
    }
    return std::get<std::vector<double>>(result);
}

// n random cells: drawn from `tie_values` when `ties` (many equal distances), standard normal
// otherwise, and NaN of either sign at `rate`.
inline std::vector<double> random_cells(std::mt19937_64& rng, std::size_t n, double rate, bool ties,
                                        std::span<const double> tie_values) {
    std::vector<double> v(n);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (double& x : v) {
        x = ties ? tie_values[rng() % tie_values.size()] : normal(rng);
        if (unit(rng) < rate) {
            x = (rng() & 1) ? NAN_ : NAN_NEG;
        }
    }
    return v;
}

}  // namespace mirel::knn::testing
