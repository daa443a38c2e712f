#pragma once
// Building blocks of the dictionary trainer: deterministic random numbers,
// evenly spread starting codebooks, the generalised Lloyd design of shape and
// gain classes, their integer form with order lists and bucket tables, and the
// generated source text.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/dictionary.h"

namespace kirune::tools {

using Vec4 = std::array<double, 4>;

// splitmix64: fixed output for a fixed seed on every platform, unlike the
// standard distributions.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next();
    double uniform();  // [0, 1)
    double normal();
    int below(int n);  // 0..n-1

private:
    uint64_t state_;
};

// `count` unit directions spread by mutual repulsion over the whole sphere
// (antipodal: the set is meant to be completed with the negations, which repel
// too) or over the non-negative orthant.
std::vector<Vec4> spreadDirections(int count, bool antipodal, bool nonNegative, uint64_t seed);

// One class in its stored form.
struct CodeClass {
    int size = 0;
    std::vector<int16_t> codewords;  // size * 4
    std::vector<uint8_t> order;      // three lists of size: by component 1, 2, 3
    std::vector<uint8_t> first, last;

    const int16_t (*rows() const)[4] { return reinterpret_cast<const int16_t(*)[4]>(codewords.data()); }
    const int16_t* at(int i) const { return codewords.data() + 4 * i; }
};

// Integer codeword for a unit direction at `scale`, norm within scale +- 1.
std::array<int16_t, 4> quantiseUnit(const Vec4& d, double scale);

// Completes `half` (size/2 directions) with the negations, sorted by
// descending first component so that codeword n-1-i is -codeword i.
CodeClass buildShapeClass(const std::vector<Vec4>& half, double margin);
// Non-negative gain codewords sorted by descending first component.
CodeClass buildGainClass(const std::vector<Vec4>& dirs, double margin);

// Bucket b covers, in each component's order, the codewords whose component
// lies within `margin` (fraction of full scale) of b's value interval.
void rebuildShapeBuckets(CodeClass& c, double margin);
void rebuildGainBuckets(CodeClass& c, double margin);

// The trained classes as the encoder and the decoder see them.
struct DictionarySet {
    CodeClass shape[3];  // 64, 128, 256 codewords (levels 1..3)
    CodeClass gain[3];   // 64, 128, 256 codewords (levels 0/1, 2, 3)
    DictionaryClass rows[kVqLevels]{};

    // Points the rows at the classes; call after any change to them.
    void link();
};

// The generated include files.
std::string shapeIncludeText(const DictionarySet& set, const std::string& banner);
std::string gainIncludeText(const DictionarySet& set, const std::string& banner);

// Weighted samples for the Lloyd design: unit directions with a weight.
struct Sample {
    Vec4 v;
    double w;
};

// Spherical k-means of antipodal classes: `half` holds size/2 directions and is
// refined in place; each sample joins the nearest of +-c. Empty cells are
// reseeded from the worst-served samples, deterministically.
double lloydShape(std::vector<Vec4>& half, const std::vector<Sample>& samples, int iterations);
// k-means on the non-negative part of the sphere for the gain classes.
double lloydGain(std::vector<Vec4>& dirs, const std::vector<Sample>& samples, int iterations);

Vec4 normalised(const Vec4& v);

}  // namespace kirune::tools
