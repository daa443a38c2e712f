#include "lossless/rotation_sort.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "lossless/suffix_array.h"

namespace kirune {

namespace {

constexpr uint32_t kInsertionRows = 11;

// Order of rotations by precomputed rank; never runs out.
class RankOrder {
public:
    explicit RankOrder(const uint32_t* rank) : rank_(rank) {}
    int operator()(uint32_t p, uint32_t q) const {
        return rank_[p] < rank_[q] ? -1 : (rank_[p] > rank_[q] ? 1 : 0);
    }
private:
    const uint32_t* rank_;
};

// Sorts groups of rotations that share a prefix by cached 8-byte keys,
// refining groups of equal keys 8 bytes further on. Distinct rotations have
// one order only, so this gives the same table as any correct comparison
// sort. It gives up (returns false) on equal rotations, whose order the
// stable merge by rank settles, and once keyBudget keys have been loaded.
class KeySorter {
public:
    KeySorter(const uint8_t* text, uint32_t n, KeyedRow* work, uint64_t keyBudget)
        : text_(text), n_(n), work_(work), budget_(keyBudget) {}

    // Sorts rows[0 .. count-1], whose rotations share their first byte.
    bool sortRising(uint32_t* rows, uint32_t count) {
        pending_.clear();
        pending_.push_back({0, count, 1});
        while (!pending_.empty()) {
            const Group g = pending_.back();
            pending_.pop_back();
            if (!sortGroup(rows + g.first, work_ + g.first, g.count, g.depth, g.first)) return false;
        }
        return true;
    }

private:
    struct Group {
        uint32_t first, count, depth;
    };

    uint64_t keyAt(uint32_t pos, uint32_t left) const {
        uint64_t k;
        if (left >= 8) {
            std::memcpy(&k, text_ + pos, 8);
            return __builtin_bswap64(k);
        }
        // The rotation ends within this key: only its last bytes count.
        k = 0;
        for (uint32_t i = 0; i < left; ++i) k |= uint64_t{text_[pos + i]} << (56 - 8 * i);
        return k;
    }

    bool sortGroup(uint32_t* rows, KeyedRow* work, uint32_t count, uint32_t depth,
                   uint32_t first) {
        if (depth >= n_ || budget_ < count) return false;
        budget_ -= count;
        const uint32_t left = n_ - depth;
        bool allEqual = true;
        for (uint32_t i = 0; i < count; ++i) {
            work[i] = {keyAt(rows[i] + depth, left), rows[i]};
            allEqual = allEqual && work[i].key == work[0].key;
        }
        // Long repeats leave whole groups undivided: look further on at once.
        if (allEqual) {
            pending_.push_back({first, count, depth + 8});
            return true;
        }
        std::sort(work, work + count,
                  [](const KeyedRow& a, const KeyedRow& b) { return a.key < b.key; });
        for (uint32_t i = 0; i < count; ++i) rows[i] = work[i].pos;
        for (uint32_t i = 0; i < count;) {
            uint32_t j = i + 1;
            while (j < count && work[j].key == work[i].key) ++j;
            if (j - i >= 2) pending_.push_back({first + i, j - i, depth + 8});
            i = j;
        }
        return true;
    }

    const uint8_t* text_;
    uint32_t n_;
    KeyedRow* work_;
    uint64_t budget_;
    std::vector<Group> pending_;
};

template <class Order>
void rotationInsertionSort(uint32_t* table, uint32_t lo, uint32_t hi, Order& order) {
    for (uint32_t j = lo + 1; j <= hi; ++j) {
        const uint32_t k = table[j];
        uint32_t i = j;
        while (i > lo && order(table[i - 1], k) > 0) {
            table[i] = table[i - 1];
            --i;
        }
        table[i] = k;
    }
}

// Stable: ties keep the left entry first.
template <class Order>
void rotationMergeSort(uint32_t* table, uint32_t* scratch, uint32_t lo, uint32_t hi,
                       Order& order) {
    if (hi - lo < kInsertionRows) {
        rotationInsertionSort(table, lo, hi, order);
        return;
    }
    const uint32_t mid = lo + (hi - lo) / 2;
    rotationMergeSort(table, scratch, lo, mid, order);
    rotationMergeSort(table, scratch, mid + 1, hi, order);
    const uint32_t leftCount = mid - lo + 1;
    std::memcpy(scratch, table + lo, leftCount * sizeof(uint32_t));
    uint32_t i = 0, j = mid + 1, k = lo;
    while (i < leftCount && j <= hi) {
        if (order(scratch[i], table[j]) <= 0) {
            table[k++] = scratch[i++];
        } else {
            table[k++] = table[j++];
        }
    }
    while (i < leftCount) table[k++] = scratch[i++];
}

// The whole two-stage sort; sortRows(lo, hi) sorts rows lo to hi of one
// bucket. Returns false when sortRows gave up.
template <class SortRows>
bool sortRotations(const uint8_t* text, uint32_t n, uint32_t* table, SortRows&& sortRows) {
    uint32_t count[256] = {};
    uint32_t start[257];
    for (uint32_t i = 0; i < n; ++i) ++count[text[i]];
    start[0] = 0;
    for (uint32_t c = 1; c <= 256; ++c) start[c] = start[c - 1] + count[c - 1];

    // Each bucket gets its positions in increasing order.
    uint32_t end[256];
    for (uint32_t c = 0; c < 256; ++c) end[c] = start[c + 1];
    for (uint32_t i = n; i-- > 0;) table[--end[text[i]]] = i;

    for (uint32_t c = 1; c < 256; ++c) {
        uint32_t f = start[c];
        for (uint32_t i = start[c]; i < start[c + 1]; ++i) {
            const uint32_t p = table[i];
            if (text[p] > text[p + 1]) std::swap(table[i], table[f++]);
        }
        if (start[c + 1] - f >= 2 && !sortRows(f, start[c + 1] - 1)) return false;
    }
    // Nothing falls below byte 0, so bucket 0 is sorted whole.
    if (start[1] >= 2 && !sortRows(0, start[1] - 1)) return false;

    // Induction: a falling rotation q follows from q + 1, which sits in an
    // earlier bucket and is therefore final when the scan reaches it.
    uint32_t next[256];
    std::memcpy(next, start, sizeof next);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t p = table[i];
        const uint32_t q = p == 0 ? n - 1 : p - 1;
        const uint8_t c = text[q];
        if (c > text[p]) table[next[c]++] = q;
    }
    return true;
}

}  // namespace

SortWorkspace::SortWorkspace(uint32_t maxN)
    : rotationTable(maxN), mergeScratch(maxN / 2 + 1), keyedRows(maxN) {}

uint64_t defaultCompareBudget(uint32_t n) { return uint64_t{4} * n + (uint64_t{1} << 16); }

uint32_t twoStageSort(uint8_t* text, uint32_t n, uint8_t* lastColumn, SortWorkspace& work,
                      uint64_t compareBudget) {
    std::memcpy(text + n, text, n);
    uint32_t* table = work.rotationTable.data();
    uint32_t* scratch = work.mergeScratch.data();

    KeySorter keys(text, n, work.keyedRows.data(), compareBudget);
    const bool sorted = sortRotations(text, n, table, [&](uint32_t lo, uint32_t hi) {
        return keys.sortRising(table + lo, hi - lo + 1);
    });
    if (!sorted) {
        // Equal rotations or long repeats: rank all rotations in linear time
        // and merge by rank. Ties stay in the order the stable merge leaves.
        AlignedBuffer<uint32_t> rank(n);
        rotationRanks(text, n, rank.data());
        RankOrder order(rank.data());
        sortRotations(text, n, table, [&](uint32_t lo, uint32_t hi) {
            rotationMergeSort(table, scratch, lo, hi, order);
            return true;
        });
    }

    uint32_t primaryIndex = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t p = table[i];
        lastColumn[i] = text[p + n - 1];
        if (p == 0) primaryIndex = i;
    }
    return primaryIndex;
}

void inverseBwt(uint8_t* out, const uint8_t* lastColumn, uint32_t primaryIndex, uint32_t n,
                uint32_t* links) {
    uint32_t end[256] = {};
    for (uint32_t i = 0; i < n; ++i) ++end[lastColumn[i]];
    uint32_t sum = 0;
    for (uint32_t c = 0; c < 256; ++c) {
        sum += end[c];
        end[c] = sum;
    }
    // Each link carries the byte of the row it points to in its top 8 bits,
    // so the walk touches one table entry per byte. Rows stay below 2^24.
    for (uint32_t i = n; i-- > 0;) {
        const uint8_t c = lastColumn[i];
        links[--end[c]] = i;
    }
    for (uint32_t r = 0; r < n; ++r) links[r] |= uint32_t{lastColumn[links[r]]} << 24;
    uint32_t j = links[primaryIndex];
    for (uint32_t k = 0; k < n; ++k) {
        out[k] = static_cast<uint8_t>(j >> 24);
        j = links[j & 0xffffffu];
    }
}

}  // namespace kirune
