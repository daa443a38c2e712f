#include "app/core/drivers.h"

#include <sys/stat.h>

#include <cmath>
#include <exception>
#include <memory>
#include <new>

#include "app/core/output_names.h"
#include "app/core/ui.h"
#include "codec/dec.h"
#include "codec/payload.h"
#include "codec/transforms.h"
#include "codec/val.h"
#include "container/image_input.h"
#include "container/image_output.h"
#include "container/rpx_container.h"
#include "encoder/enc.h"
#include "encoder/prepare.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

uint64_t fileSize(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Progress after plane p (0..2) of strip s of n: (3s + p + 1) * 100 / (3n).
int planeProgress(int32_t strip, int plane, int32_t strips) {
    return static_cast<int>((int64_t{3} * strip + plane + 1) * 100 / (int64_t{3} * strips));
}

// Squared error of the reconstruction against the image as read, over the
// image pixels of the current strip, with both sides on the 16-bit scale.
class QualityMeter {
public:
    void keepInput(const CodecState& s, const StripWork& w) {
        const std::size_t n = w.rPlane.size();
        if (input_[0].size() != n)
            for (auto& p : input_) p.reset(n);
        const BlockPlane* src[3] = {&w.rPlane, &w.gPlane, &w.bPlane};
        for (int c = 0; c < 3; ++c)
            std::copy(src[c]->begin(), src[c]->end(), input_[c].begin());
    }

    // After stripToRgb: w's R, G, B planes hold the reconstruction.
    void addStrip(const CodecState& s, const StripWork& w, int inputScale) {
        const BlockPlane* rec[3] = {&w.rPlane, &w.gPlane, &w.bPlane};
        const int32_t B = s.lumaBlocksPerRow;
        for (int32_t r = 0; r < s.stripImageRows; ++r) {
            const int32_t y = s.stripHeight - 1 - r;
            for (int32_t x = 0; x < s.imageWidth; ++x) {
                const std::size_t blk = static_cast<std::size_t>(y >> 2) * B + (x >> 2);
                const int lane = (y & 3) * 4 + (x & 3);
                for (int c = 0; c < 3; ++c) {
                    const double ref = static_cast<double>(input_[c][blk].lane[lane]) * inputScale;
                    const double got = static_cast<uint16_t>((*rec[c])[blk].lane[lane]);
                    sumSquares_ += (ref - got) * (ref - got);
                }
            }
        }
        samples_ += 3.0 * s.stripImageRows * s.imageWidth;
    }

    double psnr() const {
        if (samples_ == 0) return 0.0;
        const double mse = sumSquares_ / samples_;
        if (mse <= 0.0) return INFINITY;
        return 10.0 * std::log10(65535.0 * 65535.0 / mse);
    }

private:
    BlockPlane input_[3];
    double sumSquares_ = 0.0;
    double samples_ = 0.0;
};

// What a finished file produced.
FileReport finishedReport(FileKind kind, const std::string& input, const std::string& output,
                          const CodecState& s) {
    FileReport r;
    r.kind = kind;
    r.input = input;
    r.output = output;
    r.inputBytes = fileSize(input);
    r.outputBytes = fileSize(output);
    r.width = s.imageWidth;
    r.height = s.imageHeight;
    return r;
}

}  // namespace

FileReport compressFile(const std::string& path, FileKind kind, const JobSettings& settings,
                        BatchUi& ui) {
    CodecState s;
    setCodecParams(s, settings.qualityLevel);
    s.colourSampling = settings.colourSampling;
    const InputFormat format = kind == FileKind::CompressTiff ? InputFormat::Tiff : InputFormat::Bmp;
    std::unique_ptr<InputImage> in = openInputImage(path, format, s);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);
    const RgbInput units =
        format == InputFormat::Tiff && in->bitsPerSample() != 8 ? RgbInput::Native12 : RgbInput::Eight;

    ContainerWriter out(compressedName(path, settings.qualityDbText, settings.outputDir));
    writeContainerHeader(out, s, in->metadata);
    ui.setProgress(5);
    ui.repaint();

    QualityMeter meter;
    for (int32_t k = 0; k < s.stripCount; ++k) {
        // compressStrip
        beginStrip(s, k);
        StripWork& w = s.strip;
        readInputStrip(*in, s);
        if (settings.measureQuality) meter.keepInput(s, w);
        rgbToYcc(s, w, units);
        downsampleChroma(s, w);
        computeMeans(s, w);
        removeMeans(s, w);
        // encodeStripPlanes
        const auto regions = stripRegions(s, w);
        for (int p = 0; p < 3; ++p) {
            encodePlane(s, w.streams, regions[p]);
            ui.setProgress(planeProgress(k, p, s.stripCount));
            ui.repaint();
        }
        stripWriter(out, s, w);
        resetStreams(s);
        if (settings.measureQuality) {
            stripToRgb(s, w);
            meter.addStrip(s, w, units == RgbInput::Native12 ? 16 : 256);
        }
    }
    out.commit();
    ui.setProgress(0);

    FileReport report = finishedReport(kind, path, out.path(), s);
    report.psnr = settings.measureQuality ? meter.psnr() : 0.0;
    return report;
}

FileReport expandFile(const std::string& path, const JobSettings& settings, BatchUi& ui) {
    ContainerReader in(path);
    CodecState s;
    ImageMetadata meta;
    readContainerHeader(in, s, meta);
    allocCodecBuffers(s, s.paddedWidth, s.stripHeight);

    const std::string outputPath = expandedName(path, settings.bmpOutput, settings.outputDir);
    std::unique_ptr<TiffOutput> tiff;
    std::unique_ptr<BmpOutput> bmp;
    if (settings.bmpOutput)
        bmp = std::make_unique<BmpOutput>(outputPath, s);
    else
        tiff = openTiffOutput(outputPath, s, meta);

    for (int32_t k = 0; k < s.stripCount; ++k) {
        // expandStrip
        beginStrip(s, k);
        StripWork& w = s.strip;
        stripReader(in, w.streams);
        decodeMeans(s, w);
        // decodeStripPlanes
        const auto regions = stripRegions(s, w);
        for (int p = 0; p < 3; ++p) {
            decodePlane(s, w.streams, regions[p]);
            ui.setProgress(planeProgress(k, p, s.stripCount));
            ui.repaint();
        }
        stripToRgb(s, w);
        if (tiff)
            writeTiffStrip(*tiff, s);
        else
            writeBmpStrip(*bmp, s);
        resetStreams(s);
    }
    if (in.remaining() != 0) throw Error(kDamagedFileText);
    if (tiff)
        finishTiffOutput(*tiff);
    else
        bmp->commit();
    ui.setProgress(0);

    return finishedReport(FileKind::Expand, path, outputPath, s);
}

bool FileDrivers::processOneFile(const std::string& path, FileKind kind, BatchUi& ui) {
    try {
        FileReport report = kind == FileKind::Expand ? expandFile(path, settings_, ui)
                                                     : compressFile(path, kind, settings_, ui);
        if (onFileDone) onFileDone(report);
        return true;
    } catch (const Error& e) {
        ui.setProgress(0);
        ui.showMessage(path, e.what());
    } catch (const std::bad_alloc&) {
        ui.setProgress(0);
        ui.showMessage(path, kOutOfMemoryText);
    } catch (const std::exception& e) {
        ui.setProgress(0);
        ui.showMessage(path, e.what());
    }
    return false;
}

}  // namespace kirune
