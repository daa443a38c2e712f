#include "lossless/suffix_array.h"

#include <algorithm>

#include "kirune/AlignedBuffer.h"

namespace kirune {

namespace {

// Bucket heads (ends false) or ends (ends true) from the symbol counts.
void bucketBounds(const int32_t* count, int32_t* bkt, int32_t k, bool ends) {
    int32_t sum = 0;
    for (int32_t c = 0; c < k; ++c) {
        sum += count[c];
        bkt[c] = ends ? sum : sum - count[c];
    }
}

// Symbol counts of the text and room for the bucket positions, k of each.
struct SymbolBuckets {
    const int32_t* count;
    int32_t* bkt;
    int32_t k;
};

// Sorts all suffixes from the LMS suffixes already placed at bucket ends.
void induce(const int32_t* s, const uint8_t* isS, int32_t n, int32_t* sa, const SymbolBuckets& b) {
    const int32_t* count = b.count;
    int32_t* bkt = b.bkt;
    const int32_t k = b.k;
    bucketBounds(count, bkt, k, false);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t j = sa[i] - 1;
        if (sa[i] > 0 && !isS[j]) sa[bkt[s[j]]++] = j;
    }
    bucketBounds(count, bkt, k, true);
    for (int32_t i = n - 1; i >= 0; --i) {
        const int32_t j = sa[i] - 1;
        if (sa[i] > 0 && isS[j]) sa[--bkt[s[j]]] = j;
    }
}

void sais(const int32_t* s, int32_t* sa, int32_t n, int32_t k) {
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    AlignedBuffer<uint8_t> typeBuf(static_cast<size_t>(n));
    uint8_t* isS = typeBuf.data();
    isS[n - 1] = 1;
    for (int32_t i = n - 2; i >= 0; --i)
        isS[i] = s[i] < s[i + 1] || (s[i] == s[i + 1] && isS[i + 1]);
    auto isLms = [&](int32_t i) { return i > 0 && isS[i] && !isS[i - 1]; };

    AlignedBuffer<int32_t> bktBuf(2 * static_cast<size_t>(k));
    int32_t* count = bktBuf.data();
    int32_t* bkt = count + k;
    std::fill(count, count + k, 0);
    for (int32_t i = 0; i < n; ++i) ++count[s[i]];

    // Stage 1: sort the LMS substrings by one induction from unsorted seeds.
    std::fill(sa, sa + n, -1);
    bucketBounds(count, bkt, k, true);
    for (int32_t i = 1; i < n; ++i)
        if (isLms(i)) sa[--bkt[s[i]]] = i;
    induce(s, isS, n, sa, {count, bkt, k});

    int32_t n1 = 0;
    for (int32_t i = 0; i < n; ++i)
        if (isLms(sa[i])) sa[n1++] = sa[i];

    // Name the LMS substrings; equal ones share a name.
    std::fill(sa + n1, sa + n, -1);
    int32_t names = 0;
    int32_t prev = -1;
    for (int32_t i = 0; i < n1; ++i) {
        const int32_t pos = sa[i];
        bool diff = prev < 0;
        for (int32_t d = 0; !diff; ++d) {
            // The unique final 0 guarantees a difference before either end.
            if (s[pos + d] != s[prev + d] || isS[pos + d] != isS[prev + d]) {
                diff = true;
            } else if (d > 0 && (isLms(pos + d) || isLms(prev + d))) {
                break;
            }
        }
        if (diff) {
            ++names;
            prev = pos;
        }
        sa[n1 + pos / 2] = names - 1;
    }
    for (int32_t i = n - 1, j = n - 1; i >= n1; --i)
        if (sa[i] >= 0) sa[j--] = sa[i];

    // Stage 2: order the LMS suffixes, recursing while names repeat.
    int32_t* s1 = sa + n - n1;
    if (names < n1) {
        sais(s1, sa, n1, names);
    } else {
        for (int32_t i = 0; i < n1; ++i) sa[s1[i]] = i;
    }
    for (int32_t i = 1, j = 0; i < n; ++i)
        if (isLms(i)) s1[j++] = i;
    for (int32_t i = 0; i < n1; ++i) sa[i] = s1[sa[i]];
    std::fill(sa + n1, sa + n, -1);

    // Stage 3: place the sorted LMS suffixes and induce everything else.
    bucketBounds(count, bkt, k, true);
    for (int32_t i = n1 - 1; i >= 0; --i) {
        const int32_t j = sa[i];
        sa[i] = -1;
        sa[--bkt[s[j]]] = j;
    }
    induce(s, isS, n, sa, {count, bkt, k});
}

}  // namespace

void buildSuffixArray(const int32_t* s, int32_t* sa, int32_t n, int32_t alphabet) {
    if (n <= 0) return;
    sais(s, sa, n, alphabet);
}

void rotationRanks(const uint8_t* text, uint32_t n, uint32_t* rank) {
    // A block that is a word repeated k times has each rotation k times over;
    // ranking the rotations of the primitive word alone keeps them distinct.
    AlignedBuffer<uint32_t> border(n);
    border[0] = 0;
    for (uint32_t i = 1; i < n; ++i) {
        uint32_t b = border[i - 1];
        while (b > 0 && text[i] != text[b]) b = border[b - 1];
        border[i] = b + (text[i] == text[b] ? 1 : 0);
    }
    const uint32_t shortest = n - border[n - 1];
    const uint32_t m = n % shortest == 0 ? shortest : n;
    border.release();

    // Suffixes of the doubled word with a unique terminator: those starting in
    // the first copy are ordered as the rotations they begin.
    const int32_t len = static_cast<int32_t>(2 * m + 1);
    AlignedBuffer<int32_t> s(static_cast<size_t>(len));
    for (uint32_t i = 0; i < 2 * m; ++i) s[i] = text[i % m] + 1;
    s[2 * m] = 0;
    AlignedBuffer<int32_t> sa(static_cast<size_t>(len));
    buildSuffixArray(s.data(), sa.data(), len, 257);
    uint32_t r = 0;
    for (int32_t i = 0; i < len; ++i) {
        const uint32_t p = static_cast<uint32_t>(sa[i]);
        if (p < m) rank[p] = r++;
    }
    for (uint32_t p = m; p < n; ++p) rank[p] = rank[p % m];
}

}  // namespace kirune
