#include "app/core/drivers.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "app/core/driver_support.h"
#include "app/core/strip_pipeline.h"
#include "app/core/ui.h"
#include "codec/strip_decoder.h"
#include "codec/transforms.h"
#include "container/carried_tags.h"
#include "container/image_output.h"
#include "container/messages.h"
#include "container/png_output.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"

namespace kirune {

namespace {

enum class ExpandTo { Tiff, Bmp, Png, Nothing };

// The bits per sample of the container's input: 16 unless its trailer says 8.
// Only containers of PNGs say so (those of TIFFs and BMPs keep the trailer
// they always had): theirs expand to 16 bits.
int sourceBits(const std::optional<Trailer>& trailer) {
    return trailer && trailer->source && trailer->source->bitsPerSample == 8 ? 8 : 16;
}

struct Expansion {
    FileReport report;
    bool containerChecked = false;  // its stored container checksum matched
    bool pixelsChecked = false;     // its stored pixel checksum matched
    bool layoutWalked = false;      // containerOnly: the strips' tables led to the end
};

// Expands a container into a TIFF, a BMP or nothing (verification). With a
// trailer, the container checksum is checked before any output exists and
// the pixel checksum before the output is committed; `containerOnly` stops
// after the first.
Expansion expandContainer(const std::string& path, const JobSettings& settings, BatchUi& ui, ExpandTo to,
                          bool containerOnly = false) {
    const OpenedContainer opened = openContainer(path);
    ContainerReader& in = *opened.reader;
    const ImageMetadata& meta = opened.meta;
    const FileCoding& file = opened.coding;
    const ImageLayout& layout = file.layout;
    const std::optional<Trailer>& trailer = opened.trailer;
    Expansion result;
    if (trailer) {
        if (trailer->container && checksumOfFile(in.fd(), trailer->offset) != *trailer->container)
            throwDamaged("container checksum does not match");
        result.containerChecked = trailer->container.has_value();
        checkCarriedTags(trailer->carriedTags);
    }
    if (containerOnly) {
        // Without a container checksum, the strips' tables at least must lead exactly
        // to the end of the file.
        if (!result.containerChecked) {
            for (int32_t k = 0; k < layout.stripCount; ++k) skipStripSection(in);
            if (in.remaining() != 0) throw Error(kDamagedFileText);
            result.layoutWalked = true;
        }
        return result;
    }

    Warnings warnings(ui, path);
    // Created before the work: a name that cannot be written fails now.
    const ExpansionName name = to == ExpandTo::Nothing ? ExpansionName{} : expansionName(path, settings, trailer);
    if (!name.warning.empty()) warnings.add({name.warning});
    const std::string& outputPath = name.path;
    std::unique_ptr<TiffOutput> tiff;
    std::unique_ptr<BmpOutput> bmp;
    std::unique_ptr<PngOutput> png;
    OutputOptions options = outputOptions(settings, in.status());
    // As gzip -N: the input's own time rather than the container's.
    if (name.restored && options.source)
        options.source->modified = {static_cast<time_t>(name.restored->modifiedSeconds),
                                    static_cast<long>(name.restored->modifiedNanoseconds)};
    if (to == ExpandTo::Bmp)
        bmp = std::make_unique<BmpOutput>(outputPath, layout, options, meta);
    else if (to == ExpandTo::Tiff)
        tiff = openTiffOutput(outputPath, layout, meta, options, settings.tiffCompression);
    else if (to == ExpandTo::Png)
        // As many bits as the input had: an 8-bit picture stays 8-bit.
        png = std::make_unique<PngOutput>(outputPath, layout, sourceBits(trailer), meta, options);
    const AtExit gather{[&] {
        if (tiff) warnings.add(tiff->warnings());
        if (png) warnings.add(png->warnings());
    }};
    const int threads = resolveThreadCount(settings.threads);
    auto workers = makeWorkers(file, threads);
    const int streamThreads = std::max<int>(1, threads / static_cast<int>(workers.size()));
    const bool sumPixels = trailer && trailer->pixels;
    std::vector<Checksum128> stripSums;

    ProgressCounter progress(ui, layout.stripCount, settings.stop);
    runStrips(
        layout, workers, settings.stop,
        [&](StripWorker& w) { readStripSection(in, w.work.streams, w.section); },
        [&](StripWorker& w) {
            StripWork& sw = w.work;
            expandStripSection(w.section, sw.streams, streamThreads);
            decodeStrip(file.quality, w.geometry, sw, [&] { progress.planeDone(); });
            stripToRgb(w.geometry, sw);
            // A TIFF's rows are summed as they are written, at no extra cost.
            if (sumPixels && !tiff) w.pixels = stripPixelChecksum(layout, w.strip, sw);
            clearSideStreams(sw.streams);
        },
        [&](StripWorker& w) {
            if (tiff)
                writeTiffStrip(*tiff, layout, w.strip, w.work, sumPixels ? &w.pixels : nullptr);
            else if (bmp)
                writeBmpStrip(*bmp, layout, w.strip, w.work);
            else if (png)
                writePngStrip(*png, layout, w.strip, w.work);
            stripSums.push_back(w.pixels);
        });
    if (in.remaining() != 0) throw Error(kDamagedFileText);
    if (sumPixels && pixelChecksum(stripSums) != *trailer->pixels)
        throwDamaged("pixel checksum does not match");
    result.pixelsChecked = sumPixels;
    if (tiff)
        finishTiffOutput(*tiff);
    else if (bmp)
        bmp->commit();
    else if (png)
        png->commit();
    ui.setProgress(0);
    result.report = finishedReport(FileKind::Expand, path, outputPath, layout);
    return result;
}

}  // namespace

FileReport expandFile(const std::string& path, const JobSettings& settings, BatchUi& ui) {
    const ExpandTo to = settings.bmpOutput ? ExpandTo::Bmp : settings.pngOutput ? ExpandTo::Png : ExpandTo::Tiff;
    return expandContainer(path, settings, ui, to).report;
}

VerifyResult verifyFile(const std::string& path, bool fast, const JobSettings& settings, BatchUi& ui) {
    const Expansion e = expandContainer(path, settings, ui, ExpandTo::Nothing, fast);
    return {e.containerChecked, e.pixelsChecked, !fast, e.layoutWalked};
}

}  // namespace kirune
