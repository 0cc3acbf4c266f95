// Bounded top-k selection: the donors of one missing cell.
//
// `average` takes, per missing cell, the first k candidates in the order (distance key, row
// index) that hold a value in the cell's column. A TopK keeps exactly that set among the
// candidates offered so far, as a max-heap in slots its owner provides: once `limit` entries
// are held, only an entry below the top (the largest held) can still belong to the set, and it
// replaces the top. Key and row index together are unique, so the entries sorted at the end are
// in the order a stable sort of all candidates by key gives.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace mirel::knn::detail {

// A candidate: its ranking key (distance_rank_key) and fitted row index. The distance itself
// is not kept: only "distance" weights need it, for the few donors finally used, and the
// scalar metric gives the very same bits again.
struct Entry {
    std::uint64_t key;
    std::size_t idx;
};

// How many donors one cell's selection keeps: the first k, or every candidate when there are
// fewer. Every pass sizes its selections by this.
inline std::size_t selection_size(std::size_t k, std::size_t candidates) noexcept { return std::min(k, candidates); }

inline bool entry_less(const Entry& a, const Entry& b) noexcept {
    return a.key < b.key || (a.key == b.key && a.idx < b.idx);
}

// The same order as an object type, so that the heap and sort algorithms inline it.
struct EntryLess {
    bool operator()(const Entry& a, const Entry& b) const noexcept { return entry_less(a, b); }
};

class TopK {
public:
    TopK() = default;
    // Starts empty over `slots`, which must hold `limit` entries and outlive the selection.
    TopK(Entry* slots, std::uint32_t limit) noexcept : heap_(slots), limit_(limit) {}

    std::size_t size() const noexcept { return size_; }
    bool full() const noexcept { return size_ == limit_; }
    // Once full: the largest key held; a candidate with a larger key cannot enter.
    std::uint64_t threshold() const noexcept { return heap_[0].key; }
    // Whether e would enter (it may still be refused by the caller's column test).
    bool admits(const Entry& e) const noexcept { return !full() || entry_less(e, heap_[0]); }

    // Takes e, which admits(e) allowed. Returns whether the selection is full afterwards.
    bool take(const Entry& e) noexcept {
        if (full()) {
            replace_top(e);
        } else {
            heap_[size_++] = e;
            std::push_heap(heap_, heap_ + size_, EntryLess{});
        }
        return full();
    }

    // Offers e: takes it when it belongs to the set so far. Returns whether it was taken.
    bool offer(const Entry& e) noexcept {
        if (!admits(e)) {
            return false;
        }
        take(e);
        return true;
    }

    // The entries held, in heap order.
    std::span<const Entry> entries() const noexcept { return {heap_, size_}; }

    // The entries held, ascending. Ends the selection: it is no longer a heap.
    std::span<const Entry> sorted() noexcept {
        std::sort(heap_, heap_ + size_, EntryLess{});
        return {heap_, size_};
    }

private:
    // Replaces the top by a smaller entry and restores the heap (one sift-down instead of a pop
    // and a push).
    void replace_top(const Entry& e) noexcept {
        std::size_t i = 0;
        for (;;) {
            std::size_t child = 2 * i + 1;
            if (child >= size_) {
                break;
            }
            if (child + 1 < size_ && entry_less(heap_[child], heap_[child + 1])) {
                ++child;
            }
            if (!entry_less(e, heap_[child])) {
                break;
            }
            heap_[i] = heap_[child];
            i = child;
        }
        heap_[i] = e;
    }

    Entry* heap_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t limit_ = 0;
};

}  // namespace mirel::knn::detail
