#include "app/core/driver_support.h"

#include "app/core/output_names.h"

namespace kirune {

ExpandedKind expandedKind(const JobSettings& s) {
    return s.bmpOutput ? ExpandedKind::Bmp : s.pngOutput ? ExpandedKind::Png : ExpandedKind::Tiff;
}

InputFormat inputFormatOf(FileKind kind) {
    return kind == FileKind::CompressTiff ? InputFormat::Tiff
           : kind == FileKind::CompressPng ? InputFormat::Png
                                           : InputFormat::Bmp;
}

uint64_t fileSize(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

FileReport finishedReport(FileKind kind, const std::string& input, const std::string& output,
                          const ImageLayout& layout) {
    FileReport r;
    r.kind = kind;
    r.input = input;
    r.output = output;
    r.inputBytes = fileSize(input);
    r.outputBytes = fileSize(output);
    r.width = layout.width;
    r.height = layout.height;
    return r;
}

OutputOptions outputOptions(const JobSettings& settings, const struct stat& source) {
    OutputOptions o;
    o.replaceExisting = settings.replaceExisting;
    o.source = sourceAttributesOf(source);
    return o;
}

ExpansionName expansionName(const std::string& path, const JobSettings& settings, const std::optional<Trailer>& trailer) {
    ExpansionName e;
    e.path = expandedName(path, expandedKind(settings), settings.outputDir);
    if (!settings.restoreName) return e;
    if (!trailer || !trailer->inputName) {
        e.warning = "the container stores no input name (written before names were kept): the default name is used";
        return e;
    }
    if (const char* problem = storedNameProblem(trailer->inputName->name)) {
        e.warning = std::string("the stored input name is not a plain file name (") + problem +
                    "): the default name is used";
        return e;
    }
    e.path = restoredName(path, trailer->inputName->name, expandedKind(settings), settings.outputDir);
    e.restored = trailer->inputName;
    return e;
}

}  // namespace kirune
