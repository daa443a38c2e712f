#include "info_listing.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>

#include "app/core/container_info.h"
#include "app/core/failure_text.h"
#include "app/core/i18n.h"
#include "app/core/presets.h"
#include "text_encoding.h"

namespace kirune::cli {

namespace {

// The metadata texts in the order both listings give them.
struct NamedText {
    const char* name;
    const std::optional<std::string>* text;
};
std::array<NamedText, 5> metadataTexts(const ImageMetadata& meta) {
    return {{{"make", &meta.make},
             {"model", &meta.model},
             {"software", &meta.software},
             {"dateTime", &meta.dateTime},
             {"artist", &meta.artist}}};
}

// The preset whose quality level and sampling the container was written at.
std::optional<Preset> presetOf(const ContainerInfo& c) {
    for (const Preset& p : kPresets)
        if (p.qualityLevel == c.qualityLevel && p.colourSampling == c.colourSampling) return p;
    return std::nullopt;
}

std::string jsonText(const std::optional<std::string>& text) { return text ? kirune::cli::jsonText(*text) : "null"; }

// A forged resolution may be NaN or infinite, which JSON cannot hold.
std::string jsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The stored input's time, ISO 8601 in UTC to the nanosecond.
std::string utcTime(const InputName& n) {
    const auto seconds = static_cast<time_t>(n.modifiedSeconds);
    struct tm t{};
    char text[64];
    if (!::gmtime_r(&seconds, &t) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &t) == 0)
        return std::to_string(n.modifiedSeconds) + " s";
    char nanos[16];
    std::snprintf(nanos, sizeof nanos, ".%09uZ", n.modifiedNanoseconds);
    return std::string(text) + nanos;
}

const char* sourceFormatName(SourceFormat f) {
    return f == SourceFormat::Tiff ? "TIFF" : f == SourceFormat::Bmp ? "BMP" : f == SourceFormat::Png ? "PNG" : "unknown";
}

// TIFF's names for where grey starts.
const char* photometricName(uint8_t photometric) { return photometric == 0 ? "min-is-white" : "min-is-black"; }

std::string trailerJson(const std::optional<Trailer>& trailer) {
    if (!trailer) return "null";
    std::string out = "{\"offset\": " + std::to_string(trailer->offset) + ", \"records\": [";
    for (std::size_t i = 0; i < trailer->records.size(); ++i)
        out += std::string(i ? ", " : "") + "{\"type\": " + std::to_string(trailer->records[i].type) +
               ", \"length\": " + std::to_string(trailer->records[i].length) + "}";
    out += "]";
    if (trailer->container) out += ", \"containerChecksum\": \"" + trailer->container->hex() + "\"";
    if (trailer->pixels) out += ", \"pixelChecksum\": \"" + trailer->pixels->hex() + "\"";
    if (const auto& n = trailer->inputName)
        out += ", \"inputName\": " + jsonString(n->name) + ", \"inputModified\": \"" + utcTime(*n) + "\"";
    if (const auto& s = trailer->source)
        out += std::string(", \"sourceFormat\": \"") + sourceFormatName(s->format) +
               "\", \"sourceBitsPerSample\": " + std::to_string(s->bitsPerSample);
    if (const auto& g = trailer->grey)
        out += std::string(", \"greyscale\": \"") + photometricName(g->photometric) + "\", \"greyChecksum\": \"" +
               g->pixels.hex() + "\"";
    return out + "}";
}

// One object on one line, so that several containers make JSON Lines. A file
// that could not be read has "status": "failed" and why in "message", with
// the header when that much was read.
void printInfoJson(const std::string& path, const ContainerInfo& c, const std::string& failure) {
    const ImageMetadata& meta = c.metadata;
    const std::optional<Preset> preset = presetOf(c);
    std::printf("{\"file\": %s, \"status\": \"%s\", \"message\": %s", jsonString(path).c_str(),
                failure.empty() ? "ok" : "failed", jsonString(utf8Text(failure)).c_str());
    if (!c.headerRead) {
        std::printf("}\n");
        return;
    }
    std::printf(", \"width\": %d, \"height\": %d, ", c.width, c.height);
    std::printf("\"qualityLevel\": %d, \"colourSampling\": \"%s\", \"stripBudgetLog2\": %d, ", c.qualityLevel,
                samplingName(c.colourSampling), c.stripBudgetLog2);
    std::printf("\"preset\": %s, \"presetDb\": %s, ", preset ? std::to_string(preset->digit).c_str() : "null",
                preset ? std::to_string(preset->dbFigure).c_str() : "null");
    std::printf("\"description\": %s, \"credit\": %s, ", jsonText(c.description).c_str(), jsonText(c.credit).c_str());
    std::printf("\"resolutionUnit\": %u, \"xResolution\": %s, \"yResolution\": %s, ", meta.resolutionUnit,
                jsonNumber(meta.xResolution).c_str(), jsonNumber(meta.yResolution).c_str());
    std::printf("\"iccLength\": %zu, ", meta.iccProfile.size());
    for (const NamedText& t : metadataTexts(meta)) std::printf("\"%s\": %s, ", t.name, jsonText(*t.text).c_str());
    std::printf("\"stripHeight\": %d, \"stripCount\": %d, \"lastStripRows\": %d, \"strips\": [", c.stripHeight,
                c.stripCount, c.lastStripRows);
    for (std::size_t k = 0; k < c.strips.size(); ++k) {
        std::printf("%s[", k ? ", " : "");
        for (int i = 0; i < kStreamCount; ++i)
            std::printf("%s[%u, %u]", i ? ", " : "", c.strips[k][i].rawLength, c.strips[k][i].recordedSize);
        std::printf("]");
    }
    std::printf("], \"trailer\": %s}\n", trailerJson(c.trailer).c_str());
}

const char* recordName(uint16_t type) {
    switch (static_cast<TrailerRecord>(type)) {
    case TrailerRecord::ContainerChecksum: return "container checksum";
    case TrailerRecord::PixelChecksum: return "pixel checksum";
    case TrailerRecord::CarriedTags: return "metadata";
    case TrailerRecord::InputName: return "input name";
    case TrailerRecord::SourceImage: return "source image";
    case TrailerRecord::PngChunks: return "PNG chunks";
    case TrailerRecord::Greyscale: return "greyscale";
    }
    return "unknown record";
}

void printTrailerText(const ContainerInfo& c) {
    if (!c.trailer) {
        std::printf("trailer         %s\n", tr("none (no checksums stored)"));
        return;
    }
    const Trailer& trailer = *c.trailer;
    std::printf("trailer         %s %lld, %zu %s\n", tr("at byte"), static_cast<long long>(trailer.offset),
                trailer.records.size(), tr("records"));
    for (const Trailer::Entry& r : trailer.records)
        std::printf("  %-18s type %u, %u bytes\n", recordName(r.type), r.type, r.length);
    if (!trailer.carriedTags.empty()) {
        const auto& n = c.carriedTagCounts;
        std::printf("  metadata  %d image tags, %d Exif, %d GPS, %d Interoperability\n", n[0], n[1], n[2], n[3]);
    }
    if (trailer.container) std::printf("  container XXH3-128 %s\n", trailer.container->hex().c_str());
    if (trailer.pixels) std::printf("  pixels    XXH3-128 %s\n", trailer.pixels->hex().c_str());
    if (const auto& n = trailer.inputName)
        std::printf("  input     %s, modified %s\n", displayText(n->name).c_str(), utcTime(*n).c_str());
    if (const auto& s = trailer.source)
        std::printf("  source    %s, %u bits per sample\n", sourceFormatName(s->format), unsigned{s->bitsPerSample});
    if (const auto& g = trailer.grey) std::printf("  grey      XXH3-128 %s\n", g->pixels.hex().c_str());
}

std::string textOrNone(const std::optional<std::string>& text) {
    return text ? displayText(*text) : std::string("(") + tr("none") + ")";
}

void printInfoText(const std::string& path, const ContainerInfo& c) {
    const ImageMetadata& meta = c.metadata;
    std::printf("file            %s\n", displayName(path).c_str());
    std::printf("size            %d x %d\n", c.width, c.height);
    if (const std::optional<Preset> p = presetOf(c))
        std::printf("quality level   %d (%s %d, %d dB)\n", c.qualityLevel, tr("preset"), p->digit, p->dbFigure);
    else
        std::printf("quality level   %d\n", c.qualityLevel);
    std::printf("colour sampling %s\n", samplingName(c.colourSampling));
    if (c.trailer && c.trailer->grey)
        std::printf("greyscale       %s, expanded to one sample per pixel\n", photometricName(c.trailer->grey->photometric));
    std::printf("strip budget    2^%d pixels\n", c.stripBudgetLog2);
    std::printf("description     %s\n", textOrNone(c.description).c_str());
    std::printf("credit          %s\n", textOrNone(c.credit).c_str());
    std::printf("resolution      unit %u, %g x %g\n", meta.resolutionUnit, meta.xResolution, meta.yResolution);
    std::printf("ICC profile     %zu bytes\n", meta.iccProfile.size());
    for (const NamedText& t : metadataTexts(meta)) std::printf("%-15s %s\n", t.name, textOrNone(*t.text).c_str());
    std::printf("strips          %d of %d rows, last %d rows\n", c.stripCount, c.stripHeight, c.lastStripRows);
    printTrailerText(c);
    for (std::size_t k = 0; k < c.strips.size(); ++k) {
        std::printf("strip %zu\n", k);
        for (int i = 0; i < kStreamCount; ++i) {
            const StreamEntry& e = c.strips[k][i];
            std::printf("  %-14s raw %10u  recorded %10u%s\n", kStreamNames[i], e.rawLength, e.recordedSize,
                        e.rawLength == e.recordedSize ? "  (stored)" : "");
        }
    }
}

}  // namespace

int listContainers(const std::vector<std::string>& paths, bool json) {
    int bad = 0;
    bool first = true;
    for (const std::string& path : paths) {
        ContainerInfo info;
        std::string failure;
        try {
            readContainerInfo(path, info);
        } catch (...) {
            failure = failureText(std::current_exception());
            ++bad;
        }
        // What could be read is listed, damage and all; the failure itself on standard error.
        if (json) {
            printInfoJson(path, info, failure);
        } else if (info.headerRead) {
            if (!first) std::printf("\n");
            printInfoText(path, info);
            first = false;
        }
        std::fflush(stdout);
        if (!failure.empty()) std::fprintf(stderr, "%s: %s\n", displayName(path).c_str(), failure.c_str());
    }
    return bad ? 1 : 0;
}

}  // namespace kirune::cli
