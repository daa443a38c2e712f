#include "lossless/rotation_sort.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "kirune/AlignedBuffer.h"
#include "kirune/simd.h"
#include "lossless/suffix_array.h"

#if KIRUNE_SSE2
#include <emmintrin.h>
#endif

namespace kirune {

namespace {

constexpr uint32_t kInsertionRows = 11;
// Rows between the chains the inverse walks side by side, and their slot size.
constexpr uint32_t kSegmentBytes = 256;

// Eight bytes as one most-significant-first number.
inline uint64_t loadBigEndian64(const uint8_t* p) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint64_t k;
    std::memcpy(&k, p, 8);
    return __builtin_bswap64(k);
#else
    uint64_t k = 0;
    for (int i = 0; i < 8; ++i) k = (k << 8) | p[i];
    return k;
#endif
}

// Order of rotations by their ranks.
class RankOrder {
public:
    explicit RankOrder(const uint32_t* rank) : rank_(rank) {}
    int operator()(uint32_t p, uint32_t q) const {
        return rank_[p] < rank_[q] ? -1 : (rank_[p] > rank_[q] ? 1 : 0);
    }

private:
    const uint32_t* rank_;
};

// Sorts packed keys by their top 40 bits (the position below them is
// distinct, so no two entries tie): least significant digit first, skipping
// passes whose digit is the same everywhere. Groups of a few dozen keys on
// sort several times faster this way than by comparisons, whose branches
// mispredict on nearly every level. Byte digits keep the tables small for
// the many mid-sized groups; large groups take fewer, wider passes.
template <unsigned kDigitBits>
void radixSortKeys(uint64_t* keys, uint64_t* scratch, uint32_t count) {
    constexpr unsigned kPasses = (40 + kDigitBits - 1) / kDigitBits, kRadix = 1u << kDigitBits;
    uint32_t histogram[kPasses][kRadix] = {};
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t k = keys[i] >> 24;
        for (unsigned d = 0; d < kPasses; ++d)
            ++histogram[d][(k >> (kDigitBits * d)) & (kRadix - 1)];
    }
    uint64_t* from = keys;
    uint64_t* to = scratch;
    for (unsigned d = 0; d < kPasses; ++d) {
        uint32_t* h = histogram[d];
        const unsigned shift = 24 + kDigitBits * d;
        if (h[(from[0] >> shift) & (kRadix - 1)] == count) continue;
        uint32_t sum = 0;
        for (unsigned v = 0; v < kRadix; ++v) {
            const uint32_t c = h[v];
            h[v] = sum;
            sum += c;
        }
        for (uint32_t i = 0; i < count; ++i) to[h[(from[i] >> shift) & (kRadix - 1)]++] = from[i];
        std::swap(from, to);
    }
    if (from != keys) std::memcpy(keys, from, count * sizeof(uint64_t));
}

// Sorts groups of rotations that share a prefix by cached keys: the next 5
// bytes of a rotation above its 24-bit position, so a group sorts as plain
// integers. Groups of equal keys are refined 5 bytes further on. Distinct
// rotations have one order only, so this gives the same table as any correct
// comparison sort. It gives up (returns false) on equal rotations, whose
// order the stable merge by rank settles, and once keyBudget keys are spent.
class KeySorter {
public:
    static constexpr uint32_t kKeyBytes = 5;
    static constexpr uint64_t kPosMask = (uint64_t{1} << 24) - 1;

    KeySorter(const uint8_t* text, uint32_t n, uint64_t* scratch, uint64_t keyBudget)
        : text_(text), n_(n), scratch_(scratch), budget_(keyBudget) {}

    // Sorts rows[0 .. count-1], whose rotations share their first depth bytes,
    // with keys[0 .. count-1] as room for their keys. When keysLoaded, the
    // keys at this depth are already there.
    bool sortGroup(uint32_t* rows, uint64_t* keys, uint32_t count, uint32_t depth,
                   bool keysLoaded) {
        pending_.clear();
        pending_.push_back({0, count, depth});
        while (!pending_.empty()) {
            const Group g = pending_.back();
            pending_.pop_back();
            if (!sortStep(rows + g.first, keys + g.first, g.count, g.depth, g.first, keysLoaded))
                return false;
            keysLoaded = false;
        }
        return true;
    }

    // The key of the rotation bytes from pos on, of which `left` remain,
    // above a zero position field.
    uint64_t keyAt(uint32_t pos, uint32_t left) const {
        if (left >= 8) {
            return loadBigEndian64(text_ + pos) & ~kPosMask;
        }
        // The rotation ends within this key: only its last bytes count.
        uint64_t k = 0;
        for (uint32_t i = 0; i < left && i < kKeyBytes; ++i)
            k |= uint64_t{text_[pos + i]} << (56 - 8 * i);
        return k;
    }

private:
    struct Group {
        uint32_t first, count, depth;
    };

    // Orders one group by its next key and queues the runs of equal keys.
    bool sortStep(uint32_t* rows, uint64_t* keys, uint32_t count, uint32_t depth, uint32_t first,
                  bool keysLoaded) {
        if (depth >= n_ || budget_ < count) return false;
        budget_ -= count;
        const uint32_t left = n_ - depth;
        if (!keysLoaded) {
            for (uint32_t i = 0; i < count; ++i) keys[i] = keyAt(rows[i] + depth, left) | rows[i];
        }
        uint64_t differ = 0;
        for (uint32_t i = 0; i < count; ++i) differ |= (keys[i] ^ keys[0]) & ~kPosMask;
        // Long repeats leave whole groups undivided: look further on at once.
       
        if (differ == 0) {
           
            pending_.push_back({first, count, depth + kKeyBytes});
            return true;
        }
        if (count >= kWideRadixFrom) {
            radixSortKeys<10>(keys, scratch_, count);
        } else if (count >= kRadixFrom) {
            radixSortKeys<8>(keys, scratch_, count);
        } else {
            std::sort(keys, keys + count);
        }
        for (uint32_t i = 0; i < count; ++i) rows[i] = static_cast<uint32_t>(keys[i] & kPosMask);
        for (uint32_t i = 0; i < count;) {
            const uint64_t key = keys[i] & ~kPosMask;
            uint32_t j = i + 1;
            while (j < count && (keys[j] & ~kPosMask) == key) ++j;
            if (j - i >= 2) pending_.push_back({first + i, j - i, depth + kKeyBytes});
            i = j;
        }
        return true;
    }

    static constexpr uint32_t kRadixFrom = 32, kWideRadixFrom = 1024;

    const uint8_t* text_;
    uint32_t n_;
    uint64_t* scratch_;
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
void rotationMergeSort(uint32_t* table, uint32_t* scratch, uint32_t lo, uint32_t hi, Order& order) {
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

struct Buckets {
    uint32_t start[257];  // first row of each first-byte bucket; start[256] = n
};

Buckets countBuckets(const uint8_t* text, uint32_t n) {
    uint32_t count[256] = {};
    for (uint32_t i = 0; i < n; ++i) ++count[text[i]];
    Buckets b;
    b.start[0] = 0;
    for (uint32_t c = 1; c <= 256; ++c) b.start[c] = b.start[c - 1] + count[c - 1];
    return b;
}

// Induction: a falling rotation q follows from q + 1, which sits in an
// earlier bucket and is therefore final when the scan reaches it. Overwrites
// the falling part of every bucket from its first row on. Every row is final
// when the scan reads it, so the scan also writes the last column (the byte
// before each rotation) and returns the row of rotation 0.
uint32_t induceFalling(const uint8_t* text, uint32_t n, uint32_t* table, const Buckets& b,
                       uint8_t* lastColumn) {
    uint32_t next[256];
    std::memcpy(next, b.start, sizeof next);
    uint32_t primaryIndex = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t p = table[i];
        const uint32_t q = p == 0 ? n - 1 : p - 1;
        const uint8_t c = text[q];
        lastColumn[i] = c;
        if (p == 0) primaryIndex = i;
        if (c > text[p]) table[next[c]++] = q;
    }
    return primaryIndex;
}

// The two-stage sort as a stable merge sort sees it: positions distributed
// into buckets in increasing order, falling rotations swapped to the front of
// each bucket, the rising rest merge-sorted by rank. The exact placement
// matters only for the order of equal rotations.
uint32_t sortByRank(const uint8_t* text, uint32_t n, uint32_t* table, uint32_t* scratch,
                    const uint32_t* rank, uint8_t* lastColumn) {
    const Buckets b = countBuckets(text, n);
    uint32_t end[256];
    for (uint32_t c = 0; c < 256; ++c) end[c] = b.start[c + 1];
    for (uint32_t i = n; i-- > 0;) table[--end[text[i]]] = i;

    RankOrder order(rank);
    for (uint32_t c = 1; c < 256; ++c) {
        uint32_t f = b.start[c];
        for (uint32_t i = b.start[c]; i < b.start[c + 1]; ++i) {
            const uint32_t p = table[i];
            if (text[p] > text[p + 1]) std::swap(table[i], table[f++]);
        }
        if (b.start[c + 1] - f >= 2)
            rotationMergeSort(table, scratch, f, b.start[c + 1] - 1, order);
    }
    // Nothing falls below byte 0, so bucket 0 is sorted whole.
    if (b.start[1] >= 2) rotationMergeSort(table, scratch, 0, b.start[1] - 1, order);
    return induceFalling(text, n, table, b, lastColumn);
}

// Entries of the induced sort carry the byte before their rotation above its
// 24-bit position, so the passes down and up the table read the byte that
// decides where a rotation's predecessor goes without a miss in the text. The
// byte before that predecessor is read when it is placed, and only stored.
constexpr uint32_t kPosBits = 24, kPosMask32 = (1u << kPosBits) - 1;

// The entry of rotation p's predecessor (text doubled, n >= 2).
inline uint32_t predecessorEntry(const uint8_t* text, uint32_t n, uint32_t p) {
    const uint32_t q = p == 0 ? n - 1 : p - 1;
    // The first copy of the text, which the other passes read.
    return q | (uint32_t{text[p >= 2 ? p - 2 : p + n - 2]} << kPosBits);
}

// Places the larger rotations (those greater than their successor, the
// rotation one position on) from the smaller ones, which must be final: the
// scan meets each larger rotation's successor in an earlier row. Larger
// rotations fill each bucket from its first row up to largerEnd. The scan also
// writes the last column and returns the row of rotation 0.
uint32_t induceLarger(const uint8_t* text, uint32_t n, uint32_t* table, const Buckets& b,
                      const uint32_t* largerEnd, uint8_t* lastColumn) {
    uint32_t next[256];
    std::memcpy(next, b.start, sizeof next);
    uint32_t primaryIndex = 0;
    const auto scan = [&](uint32_t from, uint32_t to, uint32_t least) {
        for (uint32_t i = from; i < to; ++i) {
            const uint32_t e = table[i], p = e & kPosMask32, c = e >> kPosBits;
            lastColumn[i] = static_cast<uint8_t>(c);
            primaryIndex = p == 0 ? i : primaryIndex;
            if (c >= least) table[next[c]++] = predecessorEntry(text, n, p);
        }
    };
    // The predecessor of a larger rotation of bucket c is larger from byte c
    // on, that of a smaller one from c + 1.
    for (uint32_t c = 0; c < 256; ++c) {
        scan(b.start[c], largerEnd[c], c);
        scan(largerEnd[c], b.start[c + 1], c + 1);
    }
    return primaryIndex;
}

// The sort for blocks without equal rotations, whose order is unique, from a
// third of them. A rotation is smaller or larger than its successor (the
// rotation one position on); the seeds are the smaller ones whose successor is
// larger. Within a first-byte bucket the larger rotations come first, then
// the smaller ones by their second byte; among those starting with the pair
// (c, c2), c < c2, the seeds come first, as their successors are the larger
// ones of bucket c2. Only the seeds are sorted by keys; one pass up the table
// places the other smaller rotations from their successors, and induceLarger
// the rest.
class SeedSort {
public:
    SeedSort(const uint8_t* text, uint32_t n, SortWorkspace& work)
        : text_(text), n_(n), work_(work), pairStart_(work.pairStart()), pairNext_(work.pairNext()) {}

    // False on equal rotations (equal seeds) or when the key budget runs out.
    bool run(uint64_t budget, uint8_t* lastColumn, uint32_t& primaryIndex) {
        uint32_t anchor = 0;
        while (anchor < n_ && text_[anchor] == text_[anchor + 1]) ++anchor;
        if (anchor == n_) return false;  // one byte value throughout
        findValues();
        const uint32_t seedCount = classify(anchor);
        layOut();
        if (!sortSeeds(seedCount, budget)) return false;
        induceSmaller();
        primaryIndex = induceLarger(text_, n_, work_.rotationTable(), buckets_, largerEnd_, lastColumn);
        return true;
    }

private:
    // The pair tables are set up and walked for the byte values present
    // only, which keeps small blocks cheap.
    void findValues() {
        for (uint32_t i = 0; i < n_; ++i) present_[text_[i]] = true;
        for (uint32_t c = 0; c < 256; ++c) {
            if (present_[c]) values_[valueCount_++] = c;
        }
        for (uint32_t i = 0; i < valueCount_; ++i) {
            for (uint32_t j = 0; j < valueCount_; ++j) pairStart_[(values_[i] << 8) | values_[j]] = 0;
        }
    }

    // Counts the pairs and lists the seeds; returns their number. Every pair
    // is counted without a branch on the kind; only pairs of equal bytes hold
    // both kinds, so their smaller ones are counted apart. Kinds follow
    // backwards from the anchor, whose bytes differ: equal bytes take the
    // kind of the rotation after them.
    uint32_t classify(uint32_t anchor) {
        const uint8_t* text = text_;
        uint32_t* pairs = pairStart_;
        uint32_t* seeds = reinterpret_cast<uint32_t*>(work_.keyScratch());
        uint32_t seedCount = 0;
        const bool anchorSmaller = text[anchor] < text[anchor + 1];
        uint32_t nextSmaller = anchorSmaller;
        const auto step = [&](uint32_t p) {
            const uint32_t c = text[p], c2 = text[p + 1];
            const uint32_t equal = c == c2;
            const uint32_t smaller = (c < c2) | (equal & nextSmaller);
            ++pairs[(c << 8) | c2];
            equalSmaller_[c] += equal & nextSmaller;
            seeds[seedCount] = p;
            seedCount += smaller & (nextSmaller ^ 1);
            nextSmaller = smaller;
        };
        for (uint32_t p = anchor; p-- > 0;) step(p);
        for (uint32_t p = n_ - 1; p > anchor; --p) step(p);
        // nextSmaller is now the kind of the anchor's successor.
        ++pairs[(uint32_t{text[anchor]} << 8) | text[anchor + 1]];
        if (anchorSmaller && !nextSmaller) seeds[seedCount++] = anchor;
        return seedCount;
    }

    // Bucket c: the larger rotations (pairs (c, c2 < c) and the larger equal
    // pairs), then the rows of each pair (c, c2 >= c).
    void layOut() {
        uint32_t row = 0;
        for (uint32_t c = 0, v = 0; c < 256; ++c) {
            buckets_.start[c] = row;
            if (present_[c]) {
                uint32_t* pairs = pairStart_ + (c << 8);
                uint32_t larger = pairs[c] - equalSmaller_[c];
                for (uint32_t k = 0; k < v; ++k) larger += pairs[values_[k]];
                pairs[c] = equalSmaller_[c];
                row += larger;
                largerEnd_[c] = row;
                for (uint32_t k = v; k < valueCount_; ++k) {
                    const uint32_t count = pairs[values_[k]];
                    pairs[values_[k]] = row;
                    pairNext_[(c << 8) | values_[k]] = row;
                    row += count;
                }
                ++v;
            } else {
                largerEnd_[c] = row;
            }
        }
        buckets_.start[256] = n_;
    }

    // Places the seeds at the front of their pairs' rows, sorts each pair's
    // seeds by keys and gives them their entry form.
    bool sortSeeds(uint32_t seedCount, uint64_t budget) {
        const uint8_t* text = text_;
        const uint32_t n = n_;
        uint32_t* table = work_.rotationTable();
        const uint32_t* seeds = reinterpret_cast<const uint32_t*>(work_.keyScratch());
        KeySorter keys(text, n, work_.keyScratch(), budget);
        uint64_t* keyed = work_.keyedRows();
        const uint32_t left = n > 2 ? n - 2 : 0;
        for (uint32_t i = 0; i < seedCount; ++i) {
            const uint32_t p = seeds[i];
            const uint32_t slot = pairNext_[(uint32_t{text[p]} << 8) | text[p + 1]]++;
            table[slot] = p;
            keyed[slot] = keys.keyAt(p + 2, left) | p;
        }
        // The seed list is used up: the key sorter may take its room.
        for (uint32_t i = 0; i + 1 < valueCount_; ++i) {
            for (uint32_t j = i + 1; j < valueCount_; ++j) {
                const uint32_t x = (values_[i] << 8) | values_[j];
                const uint32_t first = pairStart_[x], count = pairNext_[x] - first;
                uint32_t* rows = table + first;
                const uint64_t* k = keyed + first;
                if (count == 2 && (k[0] ^ k[1]) >> 24 != 0) {
                    if (k[0] > k[1]) std::swap(rows[0], rows[1]);
                } else if (count >= 2 && !keys.sortGroup(rows, keyed + first, count, 2, true)) {
                    return false;
                }
                for (uint32_t k = 0; k < count; ++k) {
                    const uint32_t p = rows[k];
                    rows[k] = p | (uint32_t{text[p == 0 ? n - 1 : p - 1]} << kPosBits);
                }
            }
        }
        return true;
    }

    // Up the table, bucket by bucket from the last: a smaller rotation q
    // follows from q + 1, in a later row, and goes to the end of the rest of
    // its pair's rows (the start of the next pair present, or its bucket's end).
    void induceSmaller() {
        uint32_t* table = work_.rotationTable();
        uint32_t end[256];
        for (uint32_t j = valueCount_; j-- > 0;) {
            const uint32_t c2 = values_[j];
            for (uint32_t i = 0; i <= j; ++i) {
                const uint32_t c = values_[i];
                end[c] = j + 1 < valueCount_ ? pairStart_[(c << 8) | values_[j + 1]] : buckets_.start[c + 1];
            }
            for (uint32_t i = buckets_.start[c2 + 1]; i-- > largerEnd_[c2];) {
                const uint32_t e = table[i], c = e >> kPosBits;
                if (c <= c2) table[--end[c]] = predecessorEntry(text_, n_, e & kPosMask32);
            }
        }
    }

    const uint8_t* text_;
    uint32_t n_;
    SortWorkspace& work_;
    uint32_t* pairStart_;
    uint32_t* pairNext_;
    bool present_[256] = {};
    uint32_t values_[256];
    uint32_t valueCount_ = 0;
    uint32_t equalSmaller_[256] = {};
    Buckets buckets_;
    uint32_t largerEnd_[256];
};

// links[i] = the row of rotation i's predecessor (the LF mapping), a start
// mark (set later), and the byte lastColumn[i] in the top 8 bits.
void buildLinks(const uint8_t* lastColumn, uint32_t n, uint32_t* links) {
    uint32_t count[4][256] = {};
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++count[0][lastColumn[i]];
        ++count[1][lastColumn[i + 1]];
        ++count[2][lastColumn[i + 2]];
        ++count[3][lastColumn[i + 3]];
    }
    for (; i < n; ++i) ++count[0][lastColumn[i]];
    uint32_t next[256];
    uint32_t sum = 0;
    for (uint32_t c = 0; c < 256; ++c) {
        next[c] = sum;
        sum += count[0][c] + count[1][c] + count[2][c] + count[3][c];
    }
    for (i = 0; i < n; ++i) {
        const uint32_t c = lastColumn[i];
        links[i] = next[c]++ | (c << 24);
    }
}

// Rows stay below 2^23, which leaves bit 23 of a links entry for the mark of
// a chain's start.
constexpr uint32_t kChainMark = 1u << 23, kRowMask = kChainMark - 1;

// The walked chains: slots of kSegmentBytes with their filled lengths and the
// slot that follows each; the primary row's chain starts in primarySlot.
struct ChainSlots {
    uint8_t* bytes;
    uint32_t* length;
    uint32_t* next;
    uint32_t primarySlot;
};

// Walking the mapping from the primary row reads the block backwards, one
// cache miss a byte. Instead, rows spread over the table start chains of
// their own, walked side by side so their misses overlap; a chain stops at
// the next start row. Each chain writes fixed slots of kSegmentBytes,
// continued in a fresh slot when full, and notes which slot follows.
ChainSlots walkChains(uint32_t* links, uint32_t n, uint32_t primaryIndex, uint8_t* scratch) {
    const uint32_t starts = (n + kSegmentBytes - 1) / kSegmentBytes;
    const bool primaryApart = primaryIndex % kSegmentBytes != 0;
    const uint32_t primarySlot = primaryApart ? starts : primaryIndex / kSegmentBytes;
    const uint32_t initialSlots = starts + (primaryApart ? 1 : 0);
    const size_t slotCount = inverseBwtScratchBytes(n) / (kSegmentBytes + 2 * sizeof(uint32_t));
    uint32_t* slotLength = reinterpret_cast<uint32_t*>(scratch + slotCount * kSegmentBytes);
    const ChainSlots slots{scratch, slotLength, slotLength + slotCount, primarySlot};
    for (uint32_t r = 0; r < n; r += kSegmentBytes) links[r] |= kChainMark;
    links[primaryIndex] |= kChainMark;
    const auto slotOfStart = [&](uint32_t row) {
        return row % kSegmentBytes == 0 ? row / kSegmentBytes : primarySlot;
    };

    constexpr uint32_t kLanes = 16;
    struct Lane {
        uint32_t entry;  // links entry of the row whose byte comes next
        uint32_t slot;
        uint8_t* write;
        uint8_t* end;
    };
    Lane lane[kLanes];
    uint32_t pending = 0;  // next initial slot to start
    uint32_t freeSlot = initialSlots;
    const auto openSlot = [&](Lane& l, uint32_t slot) {
        l.slot = slot;
        l.write = slots.bytes + size_t{slot} * kSegmentBytes;
        l.end = l.write + kSegmentBytes;
    };
    const auto startLane = [&](Lane& l) {
        const uint32_t row = pending < starts ? pending * kSegmentBytes : primaryIndex;
        l.entry = links[row];
        openSlot(l, pending++);
    };
    uint32_t active = 0;
    while (active < kLanes && pending < initialSlots) startLane(lane[active++]);
    while (active > 0) {
        for (uint32_t k = 0; k < active; ++k) {
            Lane& l = lane[k];
            const uint32_t e = l.entry;
            *l.write++ = static_cast<uint8_t>(e >> 24);
            const uint32_t row = e & kRowMask;
            const uint32_t next = links[row];
            l.entry = next;
            if (((next & kChainMark) != 0) | (l.write == l.end)) [[unlikely]] {
                uint8_t* const begin = slots.bytes + size_t{l.slot} * kSegmentBytes;
                slots.length[l.slot] = static_cast<uint32_t>(l.write - begin);
                if (next & kChainMark) {
                    slots.next[l.slot] = slotOfStart(row);
                    if (pending < initialSlots) {
                        startLane(l);
                    } else {
                        l = lane[--active];
                        --k;
                    }
                } else {
                    slots.next[l.slot] = freeSlot;
                    openSlot(l, freeSlot++);
                }
            }
        }
    }
    return slots;
}

// to[len - 1 - k] = from[k], 16 bytes at a time where the vector unit has
// them reversed in four steps (dwords, words within them, bytes within those).
inline void copyReversed(uint8_t* to, const uint8_t* from, uint32_t len) {
    uint32_t k = 0;
#if KIRUNE_SSE2
    for (; k + 16 <= len; k += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k));
        v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
        v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
        v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + len - k - 16), v);
    }
#endif
    for (; k < len; ++k) to[len - 1 - k] = from[k];
}

// The walk reads the block backwards: the back half from the primary row on,
// the front half (and a middle byte) from its successor backwards. A valid
// block has one cycle of n rows; equal rotations may leave the primary row a
// shorter one, which the output repeats.
void writeBlock(uint8_t* out, uint8_t* lastColumn, uint32_t n, const ChainSlots& slots) {
    const uint32_t first = slots.primarySlot;
    uint32_t cycle = 0;
    uint32_t slot = first;
    do {
        cycle += slots.length[slot];
        slot = slots.next[slot];
    } while (slot != first);
    uint32_t t = 0;
    if (cycle == n) {
        do {
            const uint8_t* from = slots.bytes + size_t{slot} * kSegmentBytes;
            const uint32_t len = slots.length[slot];
            copyReversed(out + (n - t - len), from, len);
            t += len;
            slot = slots.next[slot];
        } while (slot != first);
        return;
    }
    // The short cycle in walking order, gathered into the used-up column.
    do {
        std::memcpy(lastColumn + t, slots.bytes + size_t{slot} * kSegmentBytes, slots.length[slot]);
        t += slots.length[slot];
        slot = slots.next[slot];
    } while (slot != first);
    const uint32_t front = n - n / 2;
    t = 0;
    for (uint32_t j = n; j-- > front;) {
        out[j] = lastColumn[t];
        t = t + 1 == cycle ? 0 : t + 1;
    }
    t = cycle - 1;
    for (uint32_t j = 0; j < front; ++j) {
        out[j] = lastColumn[t];
        t = t == 0 ? cycle - 1 : t - 1;
    }
}

}  // namespace

SortWorkspace::SortWorkspace(uint32_t maxN) {
    // In 8-byte units: keys, radix scratch, the table (two entries a unit)
    // and two tables of 65536 pair counters.
    const size_t tableUnits = (size_t{maxN} + 1) / 2;
    arena_.reset(8 * (2 * size_t{maxN} + tableUnits + 65536));
    keys_ = reinterpret_cast<uint64_t*>(arena_.data());
    scratch_ = keys_ + maxN;
    table_ = reinterpret_cast<uint32_t*>(scratch_ + maxN);
    pairs_ = reinterpret_cast<uint32_t*>(scratch_ + maxN + tableUnits);
}

uint64_t defaultCompareBudget(uint32_t n) { return uint64_t{4} * n + (uint64_t{1} << 16); }

uint32_t twoStageSort(uint8_t* text, uint32_t n, uint8_t* lastColumn, SortWorkspace& work,
                      uint64_t compareBudget) {
    std::memcpy(text + n, text, n);
    uint32_t* table = work.rotationTable();
    uint32_t primaryIndex = 0;
    const bool sorted = SeedSort(text, n, work).run(compareBudget, lastColumn, primaryIndex);
    if (!sorted) {
        // Equal rotations or long repeats: rank all rotations in linear time
        // and merge by rank. Ties stay in the order the stable merge leaves.
        // The abandoned keys' room holds the ranks and the merge scratch.
        uint32_t* rank = reinterpret_cast<uint32_t*>(work.keyedRows());
        rotationRanks(text, n, rank);
        primaryIndex = sortByRank(text, n, table, rank + n, rank, lastColumn);
    }
    return primaryIndex;
}

size_t inverseBwtScratchBytes(uint32_t n) {
    const size_t slots = 2 * (size_t{n} / kSegmentBytes) + 3;
    return slots * (kSegmentBytes + 2 * sizeof(uint32_t));
}

void inverseBwt(uint8_t* out, uint8_t* lastColumn, uint32_t primaryIndex, uint32_t n,
                uint32_t* links, uint8_t* scratch) {
    buildLinks(lastColumn, n, links);
    const ChainSlots slots = walkChains(links, n, primaryIndex, scratch);
    writeBlock(out, lastColumn, n, slots);
}

}  // namespace kirune
