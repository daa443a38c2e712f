// The writing half of the C API. The compressor reads its pictures from TIFF
// files by path, so a caller's pixels become an uncompressed TIFF in memory
// that rpx's own compressFile reads: the container is then rpx's byte for
// byte, with the same metadata rules, at the cost of one copy of the pixels.

#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "app/core/drivers.h"
#include "app/core/ui.h"
#include "boundary.h"
#include "container/carried_tags.h"
#include "container/input_file.h"
#include "container/messages.h"
#include "container/output_file.h"
#include "container/tiff_support.h"
#include "scratch_files.h"

namespace kirune::api {
namespace {

// What a batch needs of a window, for one file at a time with no window:
// the warnings are kept for the report.
class QuietUi : public BatchUi {
public:
    void showMessage(const std::string&, const std::string& text) override { note(text); }
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int) override {}
    void showWarning(const std::string&, const std::string& text) override { note(text); }
    std::string notes;

private:
    void note(const std::string& text) {
        if (!notes.empty()) notes += "; ";
        notes += text;
    }
};

std::optional<std::string> textOf(const kirune_bytes& b) {
    if (!b.present) return std::nullopt;
    if (!b.data && b.size > 0) throw InvalidArgument("a metadata field has NULL data");
    return std::string(reinterpret_cast<const char*>(b.data), b.size);
}

// Bytes per row and a check of the caller's picture.
std::size_t checkedImage(const kirune_image* image) {
    if (!image || !image->pixels) throw InvalidArgument("the image or its pixels are NULL");
    const std::size_t row = rowBytes(image->width, image->bits);
    if (image->height == 0) throw InvalidArgument("the picture is empty");
    if (image->stride < row) throw InvalidArgument("stride is less than width * 3 * bits / 8");
    if (image->width > INT32_MAX || image->height > INT32_MAX) throw InvalidArgument("the picture is too large");
    return row;
}

void setTag(TIFF* tif, ttag_t tag, const std::optional<std::string>& text) {
    // libtiff stores C strings: a text is cut at an embedded NUL, as a TIFF's would be.
    if (text && TIFFSetField(tif, tag, text->c_str()) != 1) throw Error("cannot set a TIFF tag of the metadata");
}

void setMetadataTags(TIFF* tif, const ImageMetadata& m, const std::optional<std::string>& description) {
    setTag(tif, TIFFTAG_MAKE, m.make);
    setTag(tif, TIFFTAG_MODEL, m.model);
    setTag(tif, TIFFTAG_SOFTWARE, m.software);
    setTag(tif, TIFFTAG_DATETIME, m.dateTime);
    setTag(tif, TIFFTAG_ARTIST, m.artist);
    setTag(tif, TIFFTAG_IMAGEDESCRIPTION, description);
    if (m.xResolution > 0 && m.yResolution > 0 &&
        (TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, m.resolutionUnit ? m.resolutionUnit : RESUNIT_INCH) != 1 ||
         TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<double>(m.xResolution)) != 1 ||
         TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<double>(m.yResolution)) != 1))
        throw InvalidArgument("the resolution cannot be written");
    if (!m.iccProfile.empty() && TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(m.iccProfile.size()),
                                              m.iccProfile.data()) != 1)
        throw Error("cannot set the ICC profile");
}

}  // namespace
}  // namespace kirune::api

using namespace kirune;
using namespace kirune::api;

struct kirune_writer {
    std::string lastError;
    JobSettings settings = [] {
        JobSettings s;
        s.replaceExisting = false;
        s.existingOutputs = ExistingOutputs::Refuse;
        return s;
    }();
    ImageMetadata meta;
    std::optional<std::string> description;
    // The last file report's texts.
    std::string reportInput, reportOutput, reportMessage;

    // The caller's picture as an uncompressed RGB TIFF with the metadata set,
    // in memory, as a scanner or an editor would have saved it.
    void writeInputTiff(const MemoryFile& file, const kirune_image& image, std::size_t row) const {
        TiffSink sink{file.fd()};
        TiffMessages messages;
        TiffHandle tif = openTiffForWriting(sink, "picture", messages);
        if (!tif) throw Error("cannot write the picture for the compressor" + messages.reason());
        TIFF* t = tif.get();
        if (TIFFSetField(t, TIFFTAG_IMAGEWIDTH, image.width) != 1 ||
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, image.height) != 1 ||
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3) != 1 ||
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, image.bits) != 1 ||
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) != 1 ||
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) != 1 ||
            TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE) != 1 ||
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0)) != 1)
            throw Error("cannot write the picture for the compressor" + messages.reason());
        setMetadataTags(t, meta, description);
        std::vector<unsigned char> scanline(row);  // libtiff may change the row it is given
        const auto* src = static_cast<const unsigned char*>(image.pixels);
        for (uint32_t y = 0; y < image.height; ++y) {
            std::memcpy(scanline.data(), src + std::size_t{y} * image.stride, row);
            if (TIFFWriteScanline(t, scanline.data(), y, 0) != 1)
                throw Error(sink.lastErrno == ENOMEM || sink.lastErrno == ENOSPC
                                ? kOutOfMemoryText
                                : "cannot write the picture for the compressor",
                            messages.lastError);
        }
        if (TIFFFlush(t) != 1) throw Error("cannot write the picture for the compressor" + messages.reason());
        if (!meta.carriedTags.empty()) {
            std::vector<std::string> warnings;
            appendCarriedTags(t, meta.carriedTags, warnings);
        }
    }

    // Compresses the picture as rpx compresses its TIFF; returns the container.
    std::string encode(const kirune_image* image, kirune_result* result) const {
        const std::size_t row = checkedImage(image);
        MemoryFile input("kirune-picture");
        writeInputTiff(input, *image, row);
        const ScratchFolder folder;
        JobSettings s = settings;
        s.outputDir = folder.path();
        s.replaceExisting = true;
        s.measureQuality = true;
        s.storeInputName = false;  // the scratch file's name and time are nobody's
        QuietUi ui;
        const FileReport report = compressFile(input.path(), FileKind::CompressTiff, s, ui);
        std::string bytes = readWholeFile(report.output);
        if (result) {
            *result = {};
            result->quality_level = report.qualityLevel;
            result->colour_sampling = report.colourSampling;
            result->psnr = report.psnr;
            result->target_missed = report.targetMissed;
            result->bytes = bytes.size();
        }
        return bytes;
    }

    int fileJob(const char* input, const kirune_file_options* options, kirune_file_report* report, bool expand);
};

int kirune_writer::fileJob(const char* input, const kirune_file_options* options, kirune_file_report* out,
                           bool expand) {
    if (!input || !out) throw InvalidArgument("input or report is NULL");
    const auto started = std::chrono::steady_clock::now();
    reportInput = input;
    reportOutput.clear();
    reportMessage.clear();
    *out = {};
    out->status = KIRUNE_FILE_FAILED;
    out->input = reportInput.c_str();
    out->message = reportMessage.c_str();
    JobSettings s = settings;
    const int existing = options ? options->existing : KIRUNE_EXISTING_REFUSE;
    if (existing < KIRUNE_EXISTING_REFUSE || existing > KIRUNE_EXISTING_SKIP)
        throw InvalidArgument("existing must be one of KIRUNE_EXISTING_*");
    s.replaceExisting = existing == KIRUNE_EXISTING_REPLACE;
    s.outputDir = options && options->output_dir ? options->output_dir : "";
    s.bmpOutput = options && options->bmp;
    s.measureQuality = true;  // the record's PSNR, as rpx --json has it
    const FileKind kind = classifyPath(reportInput);
    const bool fits = expand ? kind == FileKind::Expand
                             : kind == FileKind::CompressTiff || kind == FileKind::CompressBmp;
    int code = KIRUNE_OK;
    try {
        if (!fits)
            throw Error(expand ? "not named as an .rpx container"
                               : "not named as a TIFF or BMP (.tif, .tiff, .bmp)");
        const FileDrivers drivers(s);
        const std::string target = drivers.outputPath(reportInput, kind);
        if (existing == KIRUNE_EXISTING_SKIP && pathStatus(target)) {
            reportOutput = target;
            out->status = KIRUNE_FILE_SKIPPED;
        } else {
            // As rpx does: an output folder is made with its parents.
            std::error_code ec;
            if (!s.outputDir.empty()) std::filesystem::create_directories(s.outputDir, ec);
            if (ec) throw Error(kCannotCreateOutputText, s.outputDir + ": " + ec.message());
            QuietUi ui;
            const FileReport r = expand ? expandFile(reportInput, s, ui) : compressFile(reportInput, kind, s, ui);
            reportOutput = r.output;
            reportMessage = ui.notes;
            out->status = KIRUNE_FILE_OK;
            out->input_bytes = r.inputBytes;
            out->output_bytes = r.outputBytes;
            out->width = static_cast<uint32_t>(r.width);
            out->height = static_cast<uint32_t>(r.height);
            out->psnr = r.psnr;
            out->quality_level = r.qualityLevel;
            out->colour_sampling = r.colourSampling;
            out->target_missed = r.targetMissed;
        }
    } catch (const Error& e) {
        reportMessage = e.what();
        code = fail(lastError, codeOf(e), e.what());
    }
    out->input = reportInput.c_str();
    out->output = out->status == KIRUNE_FILE_FAILED ? nullptr : reportOutput.c_str();
    out->message = reportMessage.c_str();
    out->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return code;
}

extern "C" {

KIRUNE_API kirune_writer* kirune_writer_create(void) {
    try {
        return new kirune_writer;
    } catch (...) {
        return nullptr;
    }
}

KIRUNE_API void kirune_writer_free(kirune_writer* writer) { delete writer; }

KIRUNE_API const char* kirune_writer_last_error(const kirune_writer* writer) {
    return writer ? writer->lastError.c_str() : "";
}

KIRUNE_API int kirune_writer_set_preset(kirune_writer* writer, int digit) {
    if (!writer || digit < 0 || digit > 9) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(writer->lastError, [&]() -> int {
        writer->settings.usePreset(kPresets[digit]);
        return KIRUNE_OK;
    });
}

KIRUNE_API int kirune_writer_set_quality(kirune_writer* writer, int level, int sampling) {
    if (!writer || level < 1 || level > kMaxQualityLevel ||
        (sampling != KIRUNE_SAMPLING_420 && sampling != KIRUNE_SAMPLING_422 && sampling != KIRUNE_SAMPLING_444))
        return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(writer->lastError, [&]() -> int {
        JobSettings& s = writer->settings;
        // A preset's level and sampling name outputs as the preset does.
        s.qualityDbText = std::string("q").append(std::to_string(level));
        for (const Preset& p : kPresets)
            if (p.qualityLevel == level && p.colourSampling == sampling)
                s.qualityDbText = std::to_string(p.dbFigure);
        s.qualityLevel = level;
        s.colourSampling = sampling;
        s.targetPsnr = 0.0;
        return KIRUNE_OK;
    });
}

KIRUNE_API int kirune_writer_set_psnr_target(kirune_writer* writer, double db) {
    if (!writer || !(db > 0.0 && db <= 200.0)) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(writer->lastError, [&]() -> int {
        writer->settings.usePsnrTarget(db);
        return KIRUNE_OK;
    });
}

KIRUNE_API int kirune_writer_set_rate_aware(kirune_writer* writer, int on) {
    if (!writer) return KIRUNE_ERROR_INVALID_ARGUMENT;
    writer->settings.rateAware = on != 0;
    return KIRUNE_OK;
}

KIRUNE_API int kirune_writer_set_threads(kirune_writer* writer, int threads) {
    if (!writer || threads < 0) return KIRUNE_ERROR_INVALID_ARGUMENT;
    writer->settings.threads = threads;
    return KIRUNE_OK;
}

KIRUNE_API int kirune_writer_set_replace_existing(kirune_writer* writer, int on) {
    if (!writer) return KIRUNE_ERROR_INVALID_ARGUMENT;
    writer->settings.replaceExisting = on != 0;
    return KIRUNE_OK;
}

KIRUNE_API int kirune_writer_set_metadata(kirune_writer* writer, const kirune_metadata* meta) {
    if (!writer) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(writer->lastError, [&]() -> int {
        ImageMetadata m;
        std::optional<std::string> description;
        if (meta) {
            m.make = textOf(meta->make);
            m.model = textOf(meta->model);
            m.software = textOf(meta->software);
            m.dateTime = textOf(meta->date_time);
            m.artist = textOf(meta->artist);
            description = textOf(meta->description);
            m.resolutionUnit = meta->resolution_unit;
            m.xResolution = meta->x_resolution;
            m.yResolution = meta->y_resolution;
            if (const auto icc = textOf(meta->icc_profile)) m.iccProfile.assign(icc->begin(), icc->end());
            if (const auto tags = textOf(meta->carried_tags)) {
                m.carriedTags.assign(tags->begin(), tags->end());
                checkCarriedTags(m.carriedTags);
            }
        }
        writer->meta = std::move(m);
        writer->description = std::move(description);
        return KIRUNE_OK;
    });
}

KIRUNE_API int kirune_writer_encode_to_path(kirune_writer* writer, const kirune_image* image, const char* path,
                                            kirune_result* result) {
    if (!writer) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(writer->lastError, [&]() -> int {
        if (!path) throw InvalidArgument("path is NULL");
        checkedImage(image);
        // The name is checked, and the temporary file made, before the work.
        OutputOptions options;
        options.replaceExisting = writer->settings.replaceExisting;
        OutputFile out(path, options);
        const std::string bytes = writer->encode(image, result);
        if (std::fwrite(bytes.data(), 1, bytes.size(), out.stream()) != bytes.size()) out.checkStream();
        out.checkStream();
        out.commit();
        return KIRUNE_OK;
    });
}

KIRUNE_API int kirune_writer_encode_to_memory(kirune_writer* writer, const kirune_image* image, void** data,
                                              size_t* size, kirune_result* result) {
    if (data) *data = nullptr;
    if (size) *size = 0;
    if (!writer) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(writer->lastError, [&]() -> int {
        if (!data || !size) throw InvalidArgument("data or size is NULL");
        const std::string bytes = writer->encode(image, result);
        void* copy = std::malloc(std::max<std::size_t>(bytes.size(), 1));
        if (!copy) throw std::bad_alloc();
        std::memcpy(copy, bytes.data(), bytes.size());
        *data = copy;
        *size = bytes.size();
        return KIRUNE_OK;
    });
}

KIRUNE_API int kirune_writer_compress_file(kirune_writer* writer, const char* input,
                                           const kirune_file_options* options, kirune_file_report* report) {
    if (!writer) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(writer->lastError, [&]() -> int { return writer->fileJob(input, options, report, false); });
}

KIRUNE_API int kirune_writer_expand_file(kirune_writer* writer, const char* input,
                                         const kirune_file_options* options, kirune_file_report* report) {
    if (!writer) return KIRUNE_ERROR_INVALID_ARGUMENT;
    return guarded(writer->lastError, [&]() -> int { return writer->fileJob(input, options, report, true); });
}

}  // extern "C"
