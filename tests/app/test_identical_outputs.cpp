// Every byte the drivers write is pinned: containers, TIFFs and BMPs of the
// bundled photographs (and a BMP input) at all ten presets, with the default
// strip budget and with small strips, must match the digests recorded in
// tests/data/output-digests.txt, and must not depend on the thread count.
// Beside each digest the file keeps what a reviewer can judge: the output's
// bytes, the PSNR the compression reached and the preset. After a deliberate
// format change, KIRUNE_RECORD_DIGESTS=1 rewrites the file and prints the old
// and new figures of every output that changed side by side.
// A container's digest is taken with its input-name record cut out (it holds
// the input's modification time, which differs from run to run); that record
// is checked on its own against the input.

#include <gtest/gtest.h>
#include <xxhash.h>

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "app/core/presets.h"
#include "app/core/ui.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

const std::string kDigestFile = std::string(KIRUNE_SOURCE_DIR) + "/tests/data/output-digests.txt";

std::string digestOf(const std::vector<uint8_t>& bytes) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(XXH3_64bits(bytes.data(), bytes.size())));
    return hex;
}

// Cuts the input-name record (type 4) out of a container's trailer, framing
// the trailer again (record count, length, checksum) as if it had never held
// one, and returns the record's bytes; empty when there is none.
std::vector<uint8_t> cutInputNameRecord(std::vector<uint8_t>& file) {
    if (file.size() < 40 || std::memcmp(&file[file.size() - 8], "RPXTRAIL", 8) != 0) return {};
    const std::size_t start = file.size() - static_cast<std::size_t>(getLe(file, file.size() - 32, 8));
    std::size_t at = start + 8;
    for (uint64_t i = 0, n = getLe(file, start + 6, 2); i < n; ++i) {
        const auto length = static_cast<std::size_t>(getLe(file, at + 4, 4));
        if (getLe(file, at, 2) != 4) {
            at += 8 + length;
            continue;
        }
        const std::vector<uint8_t> record(file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                                          file.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        file.erase(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        putLe(file, start + 6, n - 1, 2);
        const std::size_t body = file.size() - 32 - start;
        const XXH128_hash_t h = XXH3_128bits(&file[start], body);
        putLe(file, start + body, body + 32, 8);
        putLe(file, start + body + 8, h.low64, 8);
        putLe(file, start + body + 16, h.high64, 8);
        return record;
    }
    return {};
}

// One output as the digest file records it.
struct Recorded {
    std::string digest;
    uint64_t bytes = 0;
    std::optional<double> psnr;  // containers only: RGB, 16-bit peak
    std::string preset;          // "DIGIT (level L, SAMPLING)"
};

// The PSNR as the file shows it, "-" for none.
std::string psnrText(const std::optional<double>& psnr) {
    if (!psnr) return "-";
    std::ostringstream s;
    s << std::fixed << std::setprecision(2) << *psnr;
    return s.str();
}

// Lines of "KEY DIGEST BYTES PSNR PRESET..."; '#' starts a comment line.
std::map<std::string, Recorded> recordedOutputs() {
    std::map<std::string, Recorded> m;
    std::ifstream f(kDigestFile);
    for (std::string line; std::getline(f, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string key, psnr;
        Recorded r;
        fields >> key >> r.digest >> r.bytes >> psnr >> std::ws;
        std::getline(fields, r.preset);
        if (!psnr.empty() && psnr != "-") r.psnr = std::stod(psnr);
        m[key] = r;
    }
    return m;
}

void writeRecorded(const std::map<std::string, Recorded>& outputs) {
    std::ofstream f(kDigestFile);
    f << "# output                  digest                bytes   PSNR  preset (level, sampling)\n";
    for (const auto& [k, r] : outputs)
        f << std::left << std::setw(25) << k << ' ' << r.digest << ' ' << std::right << std::setw(10) << r.bytes
          << ' ' << std::setw(6) << psnrText(r.psnr) << "  " << r.preset << '\n';
    if (!f.flush()) ADD_FAILURE() << "cannot write " << kDigestFile;
}

// Old and new figures of each output whose bytes changed, for the review of a re-recording.
void printChanges(const std::map<std::string, Recorded>& before, const std::map<std::string, Recorded>& after) {
    std::size_t changed = 0;
    for (const auto& [k, now] : after) {
        const auto old = before.find(k);
        if (old != before.end() && old->second.digest == now.digest) continue;
        ++changed;
        std::ostringstream line;
        line << std::left << std::setw(25) << k << "  bytes ";
        if (old == before.end() || old->second.bytes == 0) {
            line << "(new) " << now.bytes << "  PSNR " << psnrText(now.psnr);
        } else {
            const double ratio = 100.0 * (double(now.bytes) - double(old->second.bytes)) / double(old->second.bytes);
            line << old->second.bytes << " -> " << now.bytes << " (" << std::showpos << std::fixed
                 << std::setprecision(2) << ratio << std::noshowpos << "%)  PSNR " << psnrText(old->second.psnr)
                 << " -> " << psnrText(now.psnr);
        }
        std::printf("%s\n", line.str().c_str());
    }
    for (const auto& [k, old] : before)
        if (!after.count(k)) ++changed, std::printf("%-25s  gone (bytes %llu)\n", k.c_str(), (unsigned long long)old.bytes);
    std::printf("%zu of %zu outputs changed\n", changed, after.size());
}

// A smooth picture with an edge for the BMP input, on the 16-bit scale whose
// high bytes the BMP keeps.
uint16_t shading(int x, int y, int c) {
    const double v = 120 + 60 * std::sin(x * 0.09 + c) + 40 * std::cos(y * 0.11) + (x > y ? 30 : 0);
    return static_cast<uint16_t>(std::clamp(v, 0.0, 255.0)) * 257;
}

class IdenticalOutputs : public ScratchDir {
protected:
    // Runs one file through the drivers and returns the digest and size of its
    // output (and the PSNR the drivers measured, when asked to), moved aside
    // under `tag` so that the next run writes afresh.
    Recorded run(const std::string& input, FileKind kind, const JobSettings& settings, const std::string& tag) {
        FileDrivers drivers(settings);
        Recorded got;
        drivers.onFileDone = [&](const FileReport& r) {
            if (settings.measureQuality && r.kind != FileKind::Expand) got.psnr = r.psnr;
        };
        RecordingUi ui;
        const std::string out = drivers.outputPath(input, kind);
        EXPECT_TRUE(drivers.processOneFile(input, kind, ui)) << tag << ": " << ::testing::PrintToString(ui.messages);
        const std::string kept = path(tag);
        std::rename(out.c_str(), kept.c_str());
        std::vector<uint8_t> bytes = readFile(kept);
        got.bytes = bytes.size();
        if (kind != FileKind::Expand) {
            // The input's name and time: seconds i64, nanoseconds u32, name.
            const std::vector<uint8_t> record = cutInputNameRecord(bytes);
            struct stat st{};
            EXPECT_EQ(::stat(input.c_str(), &st), 0);
            const std::string name = std::filesystem::path(input).filename().string();
            EXPECT_EQ(record.size(), 12 + name.size()) << tag;
            if (record.size() == 12 + name.size()) {
                EXPECT_EQ(static_cast<int64_t>(getLe(record, 0, 8)), st.st_mtim.tv_sec) << tag;
                EXPECT_EQ(getLe(record, 8, 4), static_cast<uint64_t>(st.st_mtim.tv_nsec)) << tag;
                EXPECT_EQ(std::string(record.begin() + 12, record.end()), name) << tag;
            }
        }
        got.digest = digestOf(bytes);
        return got;
    }
};

TEST_F(IdenticalOutputs, EveryPresetBudgetAndThreadCountWritesTheRecordedBytes) {
    writeFile(path("shading.bmp"), bmpBytes(96, 72, false, 54, shading));
    const std::vector<std::pair<std::string, FileKind>> inputs = {
        {std::string(KIRUNE_TEST_DATA) + "/astronaut-256.tif", FileKind::CompressTiff},
        {std::string(KIRUNE_TEST_DATA) + "/coffee-200.tif", FileKind::CompressTiff},
        {path("shading.bmp"), FileKind::CompressBmp},
    };
    const bool record = std::getenv("KIRUNE_RECORD_DIGESTS") != nullptr;
    const std::map<std::string, Recorded> expected = recordedOutputs();
    ASSERT_TRUE(record || !expected.empty()) << "no digests in " << kDigestFile;
    std::map<std::string, Recorded> seen;

    for (const auto& [input, kind] : inputs) {
        const std::string name = std::filesystem::path(input).stem().string();
        for (const Preset& p : kPresets) {
            for (int budget : {22, 12}) {
                for (int threads : {1, 2, 8}) {
                    JobSettings s;
                    s.qualityLevel = p.qualityLevel;
                    s.colourSampling = p.colourSampling;
                    s.qualityDbText = std::to_string(p.dbFigure);
                    s.threads = threads;
                    s.stripBudgetLog2 = budget;
                    // Measured on one of the runs whose bytes must equal the first's anyway.
                    s.measureQuality = threads == 2;
                    const std::string key = name + "/p" + std::to_string(p.digit) + "/b" + std::to_string(budget);
                    // Compress, then expand what was written to TIFF and to BMP.
                    std::string copy = path(name + (kind == FileKind::CompressBmp ? ".bmp" : ".tif"));
                    if (copy != input) std::filesystem::copy_file(input, copy,
                                                                  std::filesystem::copy_options::overwrite_existing);
                    std::map<std::string, Recorded> got = {
                        {key + "/rpx", run(copy, kind, s, "c.rpx")},
                        {key + "/tif", run(path("c.rpx"), FileKind::Expand, s, "e.tif")},
                        {key + "/bmp", run(path("c.rpx"), FileKind::Expand, [&] {
                             JobSettings b = s;
                             b.bmpOutput = true;
                             return b;
                         }(), "e.bmp")},
                    };
                    for (auto& [k, d] : got) {
                        if (threads != 1) {
                            EXPECT_EQ(d.digest, seen[k].digest) << k << " with " << threads << " threads";
                            if (d.psnr) seen[k].psnr = d.psnr;
                            continue;
                        }
                        d.preset = std::to_string(p.digit) + " (level " + std::to_string(p.qualityLevel) + ", " +
                                   samplingName(p.colourSampling) + ")";
                        seen[k] = d;
                        if (!record) {
                            const auto e = expected.find(k);
                            EXPECT_EQ(d.digest, e != expected.end() ? e->second.digest : "(none)") << k;
                            // The figures beside the digest say what the output is.
                            if (e != expected.end()) {
                                EXPECT_EQ(d.bytes, e->second.bytes) << k;
                            }
                        }
                    }
                }
            }
        }
    }
    if (record) {
        printChanges(expected, seen);
        writeRecorded(seen);
    } else {
        EXPECT_EQ(seen.size(), expected.size()) << "cases differ from " << kDigestFile;
    }
}

}  // namespace
