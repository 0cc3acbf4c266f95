// The engine's one failure type for broken preconditions ("internal failures").
// It carries the exact text that reaches Python as PanicException; the engine never
// knows about Python, the binding layer does the translation.
#pragma once

#include <stdexcept>
#include <string>

namespace mirel::knn {

class Panic : public std::runtime_error {
public:
    explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

// "index out of bounds: the len is L but the index is I"
[[noreturn]] void panic_index_out_of_bounds(std::size_t len, std::size_t index);

}  // namespace mirel::knn
