#include "tools/dict_design.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <stdexcept>

namespace kirune::tools {

uint64_t Rng::next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double Rng::normal() {
    const double u1 = 1.0 - uniform(), u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

int Rng::below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }

Vec4 normalised(const Vec4& v) {
    const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2] + v[3] * v[3]);
    if (n == 0) return {1, 0, 0, 0};
    return {v[0] / n, v[1] / n, v[2] / n, v[3] / n};
}

namespace {

double dot(const Vec4& a, const Vec4& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3]; }

}  // namespace

std::vector<Vec4> spreadDirections(int count, bool antipodal, bool nonNegative, uint64_t seed) {
    Rng rng(seed);
    std::vector<Vec4> p(count);
    for (auto& x : p) {
        for (auto& c : x) c = nonNegative ? std::fabs(rng.normal()) : rng.normal();
        x = normalised(x);
    }
    // Images that repel a point: the others and, by the class's symmetry, the
    // negations (antipodal) or the mirror images across the coordinate planes
    // (orthant), which keep points off the boundary by half a spacing.
    const int masks = nonNegative ? 16 : (antipodal ? 2 : 1);
    std::vector<Vec4> force(count);
    const int iterations = 400;
    for (int it = 0; it < iterations; ++it) {
        double maxForce = 0;
        for (int i = 0; i < count; ++i) {
            Vec4 f{0, 0, 0, 0};
            for (int j = 0; j < count; ++j) {
                for (int m = 0; m < masks; ++m) {
                    if (j == i && m == 0) continue;
                    Vec4 y = p[j];
                    if (nonNegative) {
                        for (int k = 0; k < 4; ++k)
                            if (m >> k & 1) y[k] = -y[k];
                    } else if (m == 1) {
                        for (auto& c : y) c = -c;
                    }
                    Vec4 d{p[i][0] - y[0], p[i][1] - y[1], p[i][2] - y[2], p[i][3] - y[3]};
                    const double r2 = dot(d, d);
                    if (r2 < 1e-12) continue;
                    const double s = 1.0 / (r2 * r2);
                    for (int k = 0; k < 4; ++k) f[k] += d[k] * s;
                }
            }
            const double radial = dot(f, p[i]);
            for (int k = 0; k < 4; ++k) f[k] -= radial * p[i][k];
            force[i] = f;
            maxForce = std::max(maxForce, std::sqrt(dot(f, f)));
        }
        if (maxForce == 0) break;
        const double eta = 0.05 * std::pow(0.02, static_cast<double>(it) / iterations) / maxForce;
        for (int i = 0; i < count; ++i) {
            for (int k = 0; k < 4; ++k) p[i][k] += eta * force[i][k];
            if (nonNegative)
                for (auto& c : p[i]) c = std::fabs(c);
            p[i] = normalised(p[i]);
        }
    }
    return p;
}

std::array<int16_t, 4> quantiseUnit(const Vec4& d, double scale) {
    const double lo = (scale - 1) * (scale - 1), hi = (scale + 1) * (scale + 1);
    std::array<int16_t, 4> best{};
    double bestErr = 1e300;
    std::array<long, 4> base;
    for (int k = 0; k < 4; ++k) base[k] = std::lround(d[k] * scale);
    for (int m = 0; m < 81; ++m) {
        std::array<long, 4> c;
        int t = m;
        for (int k = 0; k < 4; ++k, t /= 3) c[k] = base[k] + (t % 3) - 1;
        if ((d[0] >= 0 && d[1] >= 0 && d[2] >= 0 && d[3] >= 0) && (c[0] < 0 || c[1] < 0 || c[2] < 0 || c[3] < 0))
            continue;
        const double n2 = static_cast<double>(c[0] * c[0] + c[1] * c[1] + c[2] * c[2] + c[3] * c[3]);
        if (n2 < lo || n2 > hi) continue;
        double err = 0;
        for (int k = 0; k < 4; ++k) err += (c[k] - d[k] * scale) * (c[k] - d[k] * scale);
        if (err < bestErr) {
            bestErr = err;
            for (int k = 0; k < 4; ++k) best[k] = static_cast<int16_t>(c[k]);
        }
    }
    if (bestErr == 1e300) throw std::runtime_error("no integer codeword of the required norm");
    return best;
}

namespace {

bool lexGreater(const int16_t* a, const int16_t* b) {
    for (int k = 0; k < 4; ++k)
        if (a[k] != b[k]) return a[k] > b[k];
    return false;
}

void buildOrderLists(CodeClass& c) {
    c.order.assign(3 * c.size, 0);
    for (int j = 1; j <= 3; ++j) {
        std::vector<int> idx(c.size);
        std::iota(idx.begin(), idx.end(), 0);
        std::stable_sort(idx.begin(), idx.end(), [&](int a, int b) { return c.at(a)[j] > c.at(b)[j]; });
        for (int i = 0; i < c.size; ++i) c.order[(j - 1) * c.size + i] = static_cast<uint8_t>(idx[i]);
    }
}

// Fills first/last for `buckets` buckets of which `reach` at each end are
// reachable by a unit vector; the others cover the whole class.
void rebuildBuckets(CodeClass& c, double margin, double scale, int buckets, int entries, int reachable) {
    c.first.assign(entries, 0);
    c.last.assign(entries, 0);
    const int centre = 10;  // bucket b stands for (10 - b) / 10 of full scale
    for (int b = 0; b < buckets; ++b) {
        const bool reach = b < reachable || (buckets > 11 && b > buckets - 1 - reachable);
        if (!reach) {
            c.first[b] = 0;
            c.last[b] = static_cast<uint8_t>(c.size - 1);
            continue;
        }
        const int k = centre - b;
        const double lo = (k - 0.5) / 10.0 - margin, hi = (k + 0.5) / 10.0 + margin;
        int first = c.size, last = -1;
        auto position = [&](int j, int pos) { return c.at(j == 0 ? pos : c.order[(j - 1) * c.size + pos])[j] / scale; };
        for (int j = 0; j < 4; ++j)
            for (int pos = 0; pos < c.size; ++pos) {
                const double v = position(j, pos);
                if (v >= lo && v <= hi) {
                    first = std::min(first, pos);
                    last = std::max(last, pos);
                }
            }
        // No codeword near the bucket in any order: keep the nearest of each.
        if (last < 0)
            for (int j = 0; j < 4; ++j) {
                int nearestPos = 0;
                double nearestGap = 1e300;
                for (int pos = 0; pos < c.size; ++pos) {
                    const double v = position(j, pos);
                    const double gap = v < lo ? lo - v : v - hi;
                    if (gap < nearestGap) {
                        nearestGap = gap;
                        nearestPos = pos;
                    }
                }
                first = std::min(first, nearestPos);
                last = std::max(last, nearestPos);
            }
        c.first[b] = static_cast<uint8_t>(first);
        c.last[b] = static_cast<uint8_t>(last);
    }
}

}  // namespace

void rebuildShapeBuckets(CodeClass& c, double margin) {
    // Unit quarters have a largest magnitude of at least 1/2: buckets 0..5 and 15..20.
    rebuildBuckets(c, margin, 8192.0, kShapeBucketTop + 1, kShapeBucketEntries, 6);
}

void rebuildGainBuckets(CodeClass& c, double margin) {
    rebuildBuckets(c, margin, 16384.0, kGainBucketTop + 1, kGainBucketEntries, 6);
}

CodeClass buildShapeClass(const std::vector<Vec4>& half, double margin) {
    CodeClass c;
    const int h = static_cast<int>(half.size());
    c.size = 2 * h;
    std::vector<std::array<int16_t, 4>> q;
    for (const auto& d : half) {
        auto w = quantiseUnit(d, 8192.0);
        // Canonical sign: the half with a positive first non-zero component.
        int k = 0;
        while (k < 4 && w[k] == 0) ++k;
        if (k < 4 && w[k] < 0)
            for (auto& x : w) x = static_cast<int16_t>(-x);
        q.push_back(w);
    }
    std::sort(q.begin(), q.end(), [](const auto& a, const auto& b) { return lexGreater(a.data(), b.data()); });
    for (int i = 1; i < h; ++i)
        if (q[i] == q[i - 1]) throw std::runtime_error("duplicate shape codeword");
    c.codewords.assign(4 * c.size, 0);
    for (int i = 0; i < h; ++i)
        for (int k = 0; k < 4; ++k) {
            c.codewords[4 * i + k] = q[i][k];
            c.codewords[4 * (c.size - 1 - i) + k] = static_cast<int16_t>(-q[i][k]);
        }
    buildOrderLists(c);
    rebuildShapeBuckets(c, margin);
    return c;
}

CodeClass buildGainClass(const std::vector<Vec4>& dirs, double margin) {
    CodeClass c;
    c.size = static_cast<int>(dirs.size());
    std::vector<std::array<int16_t, 4>> q;
    for (const auto& d : dirs) {
        Vec4 a{std::fabs(d[0]), std::fabs(d[1]), std::fabs(d[2]), std::fabs(d[3])};
        q.push_back(quantiseUnit(normalised(a), 16384.0));
    }
    std::sort(q.begin(), q.end(), [](const auto& a, const auto& b) { return lexGreater(a.data(), b.data()); });
    for (int i = 1; i < c.size; ++i)
        if (q[i] == q[i - 1]) throw std::runtime_error("duplicate gain codeword");
    c.codewords.assign(4 * c.size, 0);
    for (int i = 0; i < c.size; ++i)
        for (int k = 0; k < 4; ++k) c.codewords[4 * i + k] = q[i][k];
    buildOrderLists(c);
    rebuildGainBuckets(c, margin);
    return c;
}

void DictionarySet::link() {
    const DictionaryClass& fixed = dictionaryClasses[0];
    rows[0] = {fixed.shape, gain[0].rows(), 16, gain[0].size, fixed.shapeFirst, fixed.shapeLast,
               gain[0].first.data(), gain[0].last.data(), fixed.shapeOrder, gain[0].order.data()};
    for (int l = 1; l < kVqLevels; ++l) {
        const CodeClass& s = shape[l - 1];
        const CodeClass& g = gain[l == 1 ? 0 : l - 1];
        rows[l] = {s.rows(), g.rows(), s.size, g.size, s.first.data(), s.last.data(),
                   g.first.data(), g.last.data(), s.order.data(), g.order.data()};
    }
}

namespace {

void appendArray(std::string& out, const char* decl, const std::vector<uint8_t>& v, std::size_t perLine) {
    out += decl;
    out += " = {";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i % perLine == 0) out += "\n   ";
        char buf[8];
        std::snprintf(buf, sizeof buf, " %d,", v[i]);
        out += buf;
    }
    out += "\n};\n";
}

void appendCodewords(std::string& out, const char* decl, const CodeClass& c) {
    out += decl;
    out += " = {";
    for (int i = 0; i < c.size; ++i) {
        if (i % 4 == 0) out += "\n   ";
        const int16_t* w = c.at(i);
        char buf[64];
        std::snprintf(buf, sizeof buf, " {%d, %d, %d, %d},", w[0], w[1], w[2], w[3]);
        out += buf;
    }
    out += "\n};\n";
}

std::string classText(const char* kind, const CodeClass& c, int bucketEntries, const char* entriesName) {
    std::string out;
    char decl[128];
    std::snprintf(decl, sizeof decl, "const int16_t %sClass%d[%d][4]", kind, c.size, c.size);
    appendCodewords(out, decl, c);
    std::snprintf(decl, sizeof decl, "const uint8_t %sOrder%d[3 * %d]", kind, c.size, c.size);
    appendArray(out, decl, c.order, 16);
    std::vector<uint8_t> first(c.first), last(c.last);
    first.resize(bucketEntries, 0);
    last.resize(bucketEntries, 0);
    std::snprintf(decl, sizeof decl, "const uint8_t %sFirst%d[%s]", kind, c.size, entriesName);
    appendArray(out, decl, first, 24);
    std::snprintf(decl, sizeof decl, "const uint8_t %sLast%d[%s]", kind, c.size, entriesName);
    appendArray(out, decl, last, 24);
    return out;
}

}  // namespace

std::string shapeIncludeText(const DictionarySet& set, const std::string& banner) {
    std::string out = banner;
    for (const auto& c : set.shape) {
        out += '\n';
        out += classText("shape", c, kShapeBucketEntries, "kShapeBucketEntries");
    }
    return out;
}

std::string gainIncludeText(const DictionarySet& set, const std::string& banner) {
    std::string out = banner;
    for (const auto& c : set.gain) {
        out += '\n';
        out += classText("gain", c, kGainBucketEntries, "kGainBucketEntries");
    }
    return out;
}

namespace {

// Reseeds empty cells with the samples that their cells serve worst, one per
// empty cell, in a fixed order.
template <typename Cost>
void reseedEmpty(std::vector<Vec4>& cents, const std::vector<double>& mass, const std::vector<Sample>& samples,
                 Cost cost) {
    std::vector<int> empty;
    for (std::size_t j = 0; j < cents.size(); ++j)
        if (mass[j] == 0) empty.push_back(static_cast<int>(j));
    if (empty.empty() || samples.empty()) return;
    std::vector<std::pair<double, std::size_t>> worst;
    worst.reserve(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) worst.push_back({-samples[i].w * cost(samples[i].v), i});
    const std::size_t take = std::min(worst.size(), empty.size());
    std::partial_sort(worst.begin(), worst.begin() + static_cast<std::ptrdiff_t>(take), worst.end());
    for (std::size_t e = 0; e < take; ++e) cents[empty[e]] = samples[worst[e].second].v;
}

}  // namespace

double lloydShape(std::vector<Vec4>& half, const std::vector<Sample>& samples, int iterations) {
    const std::size_t h = half.size();
    double distortion = 0;
    auto nearest = [&](const Vec4& x, double& best) {
        std::size_t bj = 0;
        best = -1;
        for (std::size_t j = 0; j < h; ++j) {
            const double d = std::fabs(dot(x, half[j]));
            if (d > best) {
                best = d;
                bj = j;
            }
        }
        return bj;
    };
    for (int it = 0; it <= iterations; ++it) {
        std::vector<Vec4> sum(h, Vec4{0, 0, 0, 0});
        std::vector<double> mass(h, 0);
        double total = 0, weight = 0;
        for (const auto& s : samples) {
            double best;
            const std::size_t j = nearest(s.v, best);
            const double sign = dot(s.v, half[j]) < 0 ? -1 : 1;
            for (int k = 0; k < 4; ++k) sum[j][k] += sign * s.w * s.v[k];
            mass[j] += s.w;
            total += s.w * (2 - 2 * best);
            weight += s.w;
        }
        distortion = weight > 0 ? total / weight : 0;
        if (it == iterations) break;
        for (std::size_t j = 0; j < h; ++j)
            if (mass[j] > 0) half[j] = normalised(sum[j]);
        reseedEmpty(half, mass, samples, [&](const Vec4& x) {
            double best;
            nearest(x, best);
            return 2 - 2 * best;
        });
    }
    return distortion;
}

double lloydGain(std::vector<Vec4>& dirs, const std::vector<Sample>& samples, int iterations) {
    const std::size_t n = dirs.size();
    double distortion = 0;
    auto nearest = [&](const Vec4& x, double& best) {
        std::size_t bj = 0;
        best = -1e300;
        for (std::size_t j = 0; j < n; ++j) {
            const double d = dot(x, dirs[j]);
            if (d > best) {
                best = d;
                bj = j;
            }
        }
        return bj;
    };
    for (int it = 0; it <= iterations; ++it) {
        std::vector<Vec4> sum(n, Vec4{0, 0, 0, 0});
        std::vector<double> mass(n, 0);
        double total = 0, weight = 0;
        for (const auto& s : samples) {
            double best;
            const std::size_t j = nearest(s.v, best);
            for (int k = 0; k < 4; ++k) sum[j][k] += s.w * s.v[k];
            mass[j] += s.w;
            total += s.w * (2 - 2 * best);
            weight += s.w;
        }
        distortion = weight > 0 ? total / weight : 0;
        if (it == iterations) break;
        for (std::size_t j = 0; j < n; ++j)
            if (mass[j] > 0) dirs[j] = normalised(sum[j]);
        reseedEmpty(dirs, mass, samples, [&](const Vec4& x) {
            double best;
            nearest(x, best);
            return 2 - 2 * best;
        });
    }
    return distortion;
}

}  // namespace kirune::tools
