#include "app/core/drivers.h"

#include <memory>
#include <optional>
#include <vector>

#include "app/core/driver_support.h"
#include "app/core/strip_pipeline.h"
#include "app/core/ui.h"
#include "container/image_output.h"
#include "container/png_output.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "kirune/Parallel.h"

namespace kirune {

namespace {

enum class ExpandTo { Tiff, Bmp, Png };

// The bits per sample of the container's input: 16 unless its trailer says 8.
// Containers of 16-bit RGB TIFFs, and those written before 8-bit TIFFs and
// BMPs said so, have no such record: they expand to 16 bits.
int sourceBits(const std::optional<Trailer>& trailer) {
    return trailer && trailer->source && trailer->source->bitsPerSample == 8 ? 8 : 16;
}

// The output file an expansion writes its decoded strips to, not in place
// until commit().
class ExpansionOutput final : public StripSink {
public:
    ExpansionOutput(ExpandTo to, const std::string& path, const OpenedContainer& c, const OutputOptions& options,
                    const JobSettings& settings) {
        const ImageLayout& layout = c.coding.layout;
        if (to == ExpandTo::Bmp)
            bmp_ = std::make_unique<BmpOutput>(path, layout, options, c.meta);
        else if (to == ExpandTo::Tiff)
            tiff_ = openTiffOutput(path, layout, c.meta, options, settings.tiffCompression);
        else
            // As many bits as the input had: an 8-bit picture stays 8-bit.
            png_ = std::make_unique<PngOutput>(path, layout, sourceBits(c.trailer), c.meta, options);
    }
    // A TIFF's rows are summed as they are written, at no extra cost.
    bool sumsAsWritten() const override { return tiff_ != nullptr; }
    void write(const ImageLayout& layout, int32_t strip, const StripWork& w, Checksum128* sum) override {
        if (tiff_)
            writeTiffStrip(*tiff_, layout, strip, w, sum);
        else if (bmp_)
            writeBmpStrip(*bmp_, layout, strip, w);
        else
            writePngStrip(*png_, layout, strip, w);
    }
    void commit() {
        if (tiff_)
            finishTiffOutput(*tiff_);
        else if (bmp_)
            bmp_->commit();
        else
            png_->commit();
    }
    std::vector<std::string> warnings() const {
        if (tiff_) return tiff_->warnings();
        if (png_) return png_->warnings();
        return {};
    }

private:
    std::unique_ptr<TiffOutput> tiff_;
    std::unique_ptr<BmpOutput> bmp_;
    std::unique_ptr<PngOutput> png_;
};

// The output's options: as gzip -N, a restored name takes the input's own
// time rather than the container's.
OutputOptions expansionOptions(const JobSettings& settings, const OpenedContainer& c, const ExpansionName& name) {
    OutputOptions options = outputOptions(settings, c.reader->status());
    if (name.restored && options.source)
        options.source->modified = {static_cast<time_t>(name.restored->modifiedSeconds),
                                    static_cast<long>(name.restored->modifiedNanoseconds)};
    return options;
}

// Expands a container into a TIFF, a BMP or a PNG. With a trailer, the
// container checksum is checked before any output exists and the pixel
// checksum before the output is committed.
FileReport expandContainer(const std::string& path, const JobSettings& settings, BatchUi& ui, ExpandTo to) {
    const OpenedContainer opened = openContainer(path);
    checkTrailer(opened);
    Warnings warnings(ui, path);
    // Created before the work: a name that cannot be written fails now.
    const ExpansionName name = expansionName(path, settings, opened.trailer);
    if (!name.warning.empty()) warnings.add({name.warning});
    ExpansionOutput out(to, name.path, opened, expansionOptions(settings, opened, name), settings);
    const AtExit gather{[&] { warnings.add(out.warnings()); }};
    decodeStrips(opened, &out, resolveThreadCount(settings.threads), ui, settings.stop, settings.workerPool.get());
    out.commit();
    ui.setProgress(0);
    return finishedReport(FileKind::Expand, path, name.path, opened.coding.layout);
}

}  // namespace

FileReport expandFile(const std::string& path, const JobSettings& settings, BatchUi& ui) {
    const ExpandTo to = settings.bmpOutput ? ExpandTo::Bmp : settings.pngOutput ? ExpandTo::Png : ExpandTo::Tiff;
    return expandContainer(path, settings, ui, to);
}

}  // namespace kirune
