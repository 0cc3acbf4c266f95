// libFuzzer target for the engine: the pass (impute) against the straightforward pass
// (impute_reference) on tables decoded from the fuzzer's bytes, bit for bit, failures
// included. Built as the CMake target mirel_fuzz_engine (MIREL_BUILD_FUZZ=ON, Clang) by scripts/ci.d/70-fuzz.sh.
//
// Layout of an input (every field optional: missing bytes read as 0):
//   byte 0: fitted rows (mod 24)       byte 1: fitted cols (mod 7)
//   byte 2: input shape: 0-3 the fitted shape, 4 fewer rows, 5 more rows, 6 free, 7 same cells
//   byte 3: k (mod 12; 11 means 2^32 - 1)   byte 4: metric and weights
//   then one byte per cell: a value from a table of awkward doubles, or (high bit set) the
//   next 8 bytes as raw bits.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "knn/core/panic.hpp"
#include "knn/row/impute.hpp"
#include "knn/row/impute_fast.hpp"

namespace {

using mirel::knn::ImputeResult;
using mirel::knn::KnnImputer;
using mirel::knn::Panic;
using mirel::knn::UnknownMetric;

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;

    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    double cell() {
        // clang-format off
        static const double table[] = {
            NAN, -NAN, INFINITY, -INFINITY, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
            1e308, -1e308, 1.7976931348623157e308, -1.7976931348623157e308, 0.5, 1.0, -1.0,
            2.0, 3.0, 0.333, 10.0, -2.5, 1e-3, 4.0, 100.0,
        };
        // clang-format on
        constexpr std::size_t n = sizeof(table) / sizeof(table[0]);
        const std::uint8_t b = byte();
        if (b & 0x80) {
            std::uint64_t bits = 0;
            for (int i = 0; i < 8; ++i) {
                bits = (bits << 8) | byte();
            }
            double v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
        // NaN often: it is what the pass looks for
        return (b % 3 == 0) ? NAN : table[b % n];
    }
};

struct Outcome {
    int kind = 0;  // 0 values, 1 unknown metric, 2 panic
    std::vector<double> values;
    std::string message;
};

template <class Pass>
Outcome run(Pass pass, const KnnImputer& imp, const std::vector<double>& input, std::size_t input_rows) {
    Outcome out;
    try {
        ImputeResult r = pass(imp, input, input_rows);
        if (auto* v = std::get_if<std::vector<double>>(&r)) {
            out.values = std::move(*v);
        } else {
            out.kind = 1;
            out.message = std::get<UnknownMetric>(r).message;
        }
    } catch (const Panic& e) {
        out.kind = 2;
        out.message = e.what();
    }
    return out;
}

// memcmp must not see a null pointer, which an empty vector may hold.
bool same_bits(const double* a, const double* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(double)) == 0;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_engine: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const std::size_t rows = in.byte() % 24;
    const std::size_t cols = in.byte() % 7;
    const std::uint8_t shape = in.byte() % 8;
    const std::uint8_t kbyte = in.byte() % 12;
    const std::uint32_t k = kbyte == 11 ? 0xFFFFFFFFu : kbyte;
    const std::uint8_t names = in.byte();
    static const char* const metrics[] = {"nan_euclid", "expected_distance", "nan_euclid", "expected_distance",
                                          "",           "Nan_euclid"};
    const std::string metric = metrics[names % 6];
    const std::string weights = (names / 6) % 2 ? "distance" : "uniform";

    std::vector<double> fitted(rows * cols);
    for (double& v : fitted) {
        v = in.cell();
    }
    std::size_t input_rows = rows;
    std::size_t input_cols = cols;
    switch (shape) {
        case 4:
            input_rows = rows > 0 ? rows - 1 : 0;
            break;
        case 5:
            input_rows = rows + 1 + in.byte() % 3;
            break;
        case 6:
            input_rows = in.byte() % 24;
            input_cols = in.byte() % 7;
            break;
        case 7:
            if (rows * cols > 0) {
                // the same number of cells in another shape
                std::size_t n = rows * cols;
                std::size_t d = 1 + in.byte() % n;
                while (n % d != 0) {
                    --d;
                }
                input_rows = d;
                input_cols = n / d;
            }
            break;
        default:
            break;
    }
    std::vector<double> input;
    if (shape < 2 && input_cols == cols && input_rows == rows) {
        input = fitted;  // the usual call: transform the fitted table
    } else {
        input.resize(input_rows * input_cols);
        for (double& v : input) {
            v = in.cell();
        }
    }

    KnnImputer imp = KnnImputer::create(k, metric, weights);
    imp.store_fitted(fitted, rows, cols);
    const Outcome fast =
        run([](const KnnImputer& i, std::span<const double> x, std::size_t n) { return mirel::knn::impute(i, x, n); },
            imp, input, input_rows);
    const Outcome slow = run(mirel::knn::impute_reference, imp, input, input_rows);

    if (fast.kind != slow.kind || fast.message != slow.message) {
        fail("impute and impute_reference disagree on the outcome");
    }
    if (fast.kind != 0) {
        return 0;
    }
    if (fast.values.size() != input.size() || slow.values.size() != input.size()) {
        fail("result length differs from the input's");
    }
    if (!same_bits(fast.values.data(), slow.values.data(), input.size())) {
        fail("impute and impute_reference differ in a bit");
    }
    // Every kernel with pruning in every group, whatever the width.
    mirel::knn::PassTuning pruning;
    pruning.prune_min_skipped = 0.0;
    pruning.prune_min_columns = 0;
    for (const mirel::knn::KernelKind kind : mirel::knn::available_kernels()) {
        const Outcome pruned = run(
            [&](const KnnImputer& i, std::span<const double> x, std::size_t n) {
                return mirel::knn::impute(i, x, n, {kind, pruning});
            },
            imp, input, input_rows);
        if (pruned.kind != 0 || !same_bits(pruned.values.data(), slow.values.data(), input.size())) {
            fail("a pruning kernel and impute_reference differ");
        }
    }
    for (std::size_t p = 0; p < input.size(); ++p) {
        if (!std::isnan(input[p]) && !same_bits(&input[p], &fast.values[p], 1)) {
            fail("a present cell changed");
        }
    }
    // the pass never changes the imputer
    if (imp.k() != k || imp.rows() != rows || imp.cols() != cols || imp.fitted_values().size() != fitted.size() ||
        !same_bits(imp.fitted_values().data(), fitted.data(), fitted.size())) {
        fail("the imputer changed");
    }
    return 0;
}
