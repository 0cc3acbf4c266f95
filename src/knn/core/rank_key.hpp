// Ranking keys: the one total order in which every pass ranks candidate distances, as unsigned
// integers (compared in one instruction, in the selections and in the kernels' filters), and
// their inverses.
#pragma once

#include <bit>
#include <cstdint>

namespace mirel::knn {

// Distance given to the reference row itself: the largest finite double, so that it ranks
// after every row at a finite distance and before rows at +inf or NaN.
inline constexpr double SELF_DISTANCE = 1.7976931348623157e308;

inline constexpr std::uint64_t RANK_KEY_SIGN = std::uint64_t{1} << 63;

// Ranking key of a distance: the IEEE total order, with a NaN's sign dropped first so that
// every NaN ranks after +inf whatever sign the hardware gave it. Ties are broken by row index.
constexpr std::uint64_t distance_rank_key(double d) noexcept {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
    if (d != d) {
        bits &= ~RANK_KEY_SIGN;
    }
    return (bits & RANK_KEY_SIGN) ? ~bits : (bits | RANK_KEY_SIGN);
}

// The distance a key stands for: distance_rank_key's inverse (a NaN comes back with its sign
// dropped).
constexpr double rank_key_distance(std::uint64_t key) noexcept {
    return std::bit_cast<double>((key & RANK_KEY_SIGN) ? (key & ~RANK_KEY_SIGN) : ~key);
}

// The key of a distance the kernels measured. Those are never negative numbers: every sum
// starts at +0.0 and adds terms of +0.0 or more (or NaN), and the final steps keep the sign. For
// a double that is +0.0 or more, or a NaN of either sign, distance_rank_key is its bits with the
// sign bit set, and the vector kernels form their keys this way in one instruction.
constexpr std::uint64_t measured_rank_key(double d) noexcept { return std::bit_cast<std::uint64_t>(d) | RANK_KEY_SIGN; }

// measured_rank_key's inverse, branch-free for the kernels' loops: the distance of a key with
// the sign bit set; a key without it (below every measured distance's) comes back as a negative
// number or -0.0 (key 0), which every measured distance exceeds or equals.
constexpr double measured_key_limit(std::uint64_t key) noexcept { return std::bit_cast<double>(key ^ RANK_KEY_SIGN); }

// The key of +inf: keys above it are NaN distances.
inline constexpr std::uint64_t KEY_OF_INFINITY = distance_rank_key(__builtin_inf());

// Ranking key of a query distance (the query passes): the same total order, with -0.0 ranked
// as +0.0 (a given distance may carry a negative zero).
constexpr std::uint64_t query_rank_key(double d) noexcept { return distance_rank_key(d + 0.0); }

}  // namespace mirel::knn
