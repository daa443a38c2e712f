#include "container/carried_tags.h"

#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <optional>

#include "container/messages.h"
#include "kirune/Error.h"

namespace kirune {

namespace {

constexpr uint8_t kMagic[4] = {'K', 'T', 'A', 'G'};
constexpr uint8_t kVersion = 1;
// Per directory: libtiff refuses to read a directory of more entries.
constexpr uint64_t kMaxEntries = 4096;
// Entries libtiff itself writes into an expanded TIFF's image directory (the
// structure, the predictor, the header's fields), with room to spare: the
// carried ones must leave space for them.
constexpr uint64_t kOwnImageEntries = 32;

constexpr uint16_t kTransferFunction = 301;
constexpr uint16_t kExifPointer = 34665;
constexpr uint16_t kGpsPointer = 34853;
constexpr uint16_t kInteropPointer = 40965;
constexpr uint16_t kLong = 4, kLong8 = 16;

// Bytes per value of TIFF types 1 to 12; 0 for the others: IFD (13) and
// BigTIFF's 64-bit types are offsets or do not fit a classic TIFF.
int typeBytes(uint64_t type) {
    static constexpr int kBytes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type < std::size(kBytes) ? kBytes[type] : 0;
}
// Unit of byte-order swapping: a rational is two longs.
int swapUnit(uint16_t type) { return type == 5 || type == 10 ? 4 : typeBytes(type); }

uint64_t getUint(const uint8_t* p, int n, bool bigEndian) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t{p[bigEndian ? n - 1 - i : i]} << (8 * i);
    return v;
}
void putUint(uint8_t* p, uint64_t v, int n, bool bigEndian) {
    for (int i = 0; i < n; ++i) p[bigEndian ? n - 1 - i : i] = static_cast<uint8_t>(v >> (8 * i));
}
void swapUnits(uint8_t* p, std::size_t bytes, int unit) {
    if (unit < 2) return;
    for (std::size_t i = 0; i + unit <= bytes; i += unit) std::reverse(p + i, p + i + unit);
}

// Tags that describe how the input's pixels are stored, or only make sense
// for its sample depth, colour model or compression: the output has its own.
bool isStructural(uint16_t tag) {
    static constexpr uint16_t kTags[] = {
        254,   255,   256,   257,   258,   259,   262,   263,   264,   265,   266,   273,   277,   278,
        279,   280,   281,   284,   288,   289,   290,   291,   292,   293,   317,   320,   321,   322,
        323,   324,   325,   326,   327,   328,   330,   332,   333,   334,   336,   338,   339,   340,
        341,   346,   347,   512,   513,   514,   515,   517,   518,   519,   520,   521,   529,   530,
        531,   532,   32995, 32996, 32997, 32998, 33421, 33422, 50674, 50710, 50711};
    return std::binary_search(std::begin(kTags), std::end(kTags), tag);
}

// Whether the value is the offset of another directory, which would point
// at nothing in the output.
bool isDirectoryPointer(uint16_t tag, uint64_t type) {
    return tag == 330 || tag == 400 || tag == kExifPointer || tag == kGpsPointer || tag == kInteropPointer ||
           tag == 50933 || type == 13 || type == 18;
}

// Blocks that readers take as bytes whatever type the file gives them.
bool keepsFileBytes(CarriedDirectory dir, uint16_t tag) {
    return dir == CarriedDirectory::Image && (tag == 700 || tag == 33723 || tag == 34377 || tag == 34675);
}

// Why a non-structural entry cannot be carried, or nullptr.
const char* refusal(CarriedDirectory dir, uint16_t tag, uint64_t type, uint64_t count) {
    if (isDirectoryPointer(tag, type)) return "points to other data in the file";
    if (typeBytes(type) == 0) return "has a type that is not carried";
    if (count == 0) return "has no value";
    if (count > std::numeric_limits<uint32_t>::max()) return "is too long";
    if (dir == CarriedDirectory::Image && tag == kTransferFunction && count != 1u << 16 && count != 3u << 16)
        return "is a transfer function for other than 16-bit samples";
    return nullptr;
}

const char* directoryName(CarriedDirectory dir) {
    switch (dir) {
        case CarriedDirectory::Image: return "image";
        case CarriedDirectory::Exif: return "Exif";
        case CarriedDirectory::Gps: return "GPS";
        case CarriedDirectory::Interoperability: return "Interoperability";
    }
    return "";
}

// ---- Files ------------------------------------------------------------------

// A TIFF's file, through the handle's own I/O procedures; the position
// libtiff left is restored.
class TiffFile {
public:
    explicit TiffFile(TIFF* tif)
        : handle_(TIFFClientdata(tif)),
          read_(TIFFGetReadProc(tif)),
          write_(TIFFGetWriteProc(tif)),
          seek_(TIFFGetSeekProc(tif)),
          size_(TIFFGetSizeProc(tif)(handle_)),
          saved_(seek_(handle_, 0, SEEK_CUR)) {}
    ~TiffFile() {
        if (saved_ != kNoPosition) seek_(handle_, saved_, SEEK_SET);
    }
    TiffFile(const TiffFile&) = delete;
    TiffFile& operator=(const TiffFile&) = delete;

    uint64_t size() const { return size_; }
    bool read(uint64_t at, void* to, std::size_t n) {
        if (at > size_ || n > size_ - at || seek_(handle_, at, SEEK_SET) != at) return false;
        return n == 0 || read_(handle_, to, static_cast<tmsize_t>(n)) == static_cast<tmsize_t>(n);
    }
    bool write(uint64_t at, const void* from, std::size_t n) {
        if (seek_(handle_, at, SEEK_SET) != at ||
            write_(handle_, const_cast<void*>(from), static_cast<tmsize_t>(n)) != static_cast<tmsize_t>(n))
            return false;
        size_ = std::max(size_, at + n);
        return true;
    }

private:
    static constexpr toff_t kNoPosition = static_cast<toff_t>(-1);
    thandle_t handle_;
    TIFFReadWriteProc read_, write_;
    TIFFSeekProc seek_;
    uint64_t size_;
    toff_t saved_;
};

struct FileFormat {
    bool big = false;  // BigTIFF
    bool bigEndian = false;
    int countBytes() const { return big ? 8 : 2; }
    int fieldBytes() const { return big ? 8 : 4; }  // a value or an offset
    int entryBytes() const { return big ? 20 : 12; }
    uint64_t directoryBytes(uint64_t entries) const { return countBytes() + entries * entryBytes() + fieldBytes(); }
};

struct FileEntry {
    uint16_t tag = 0, type = 0;
    uint64_t count = 0;
    std::array<uint8_t, 8> field{};  // the value or its offset, as stored
    uint64_t valueAt = 0;            // where the value lies
    uint64_t bytes = 0;              // 0 for a type that is not carried
};

struct FileDirectory {
    std::vector<FileEntry> entries;  // ascending tags, the first of each
    uint64_t next = 0;
    std::size_t repeated = 0;  // entries dropped as repeats of a tag
};

// The directory at `offset`, or nullopt and why not.
std::optional<FileDirectory> readDirectory(TiffFile& file, const FileFormat& f, uint64_t offset, std::string& why) {
    uint8_t head[8];
    if (!file.read(offset, head, static_cast<std::size_t>(f.countBytes()))) {
        why = "lies outside the file";
        return std::nullopt;
    }
    const uint64_t n = getUint(head, f.countBytes(), f.bigEndian);
    if (n > kMaxEntries) {
        why = "has " + std::to_string(n) + " entries, more than the " + std::to_string(kMaxEntries) +
              " that TIFF readers accept";
        return std::nullopt;
    }
    std::vector<uint8_t> raw(static_cast<std::size_t>(f.directoryBytes(n) - f.countBytes()));
    if (!file.read(offset + f.countBytes(), raw.data(), raw.size())) {
        why = "lies outside the file";
        return std::nullopt;
    }
    FileDirectory dir;
    dir.entries.reserve(static_cast<std::size_t>(n));
    const int fieldAt = f.big ? 12 : 8;
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* p = raw.data() + i * f.entryBytes();
        FileEntry e;
        e.tag = static_cast<uint16_t>(getUint(p, 2, f.bigEndian));
        e.type = static_cast<uint16_t>(getUint(p + 2, 2, f.bigEndian));
        e.count = getUint(p + 4, f.big ? 8 : 4, f.bigEndian);
        std::memcpy(e.field.data(), p + fieldAt, static_cast<std::size_t>(f.fieldBytes()));
        const int size = typeBytes(e.type);
        if (size > 0 && e.count <= std::numeric_limits<uint64_t>::max() / size) {
            e.bytes = e.count * size;
            e.valueAt = e.bytes <= static_cast<uint64_t>(f.fieldBytes())
                            ? offset + f.countBytes() + i * f.entryBytes() + fieldAt
                            : getUint(e.field.data(), f.fieldBytes(), f.bigEndian);
        }
        dir.entries.push_back(e);
    }
    dir.next = getUint(raw.data() + n * f.entryBytes(), f.fieldBytes(), f.bigEndian);
    std::stable_sort(dir.entries.begin(), dir.entries.end(),
                     [](const FileEntry& a, const FileEntry& b) { return a.tag < b.tag; });
    const auto last = std::unique(dir.entries.begin(), dir.entries.end(),
                                  [](const FileEntry& a, const FileEntry& b) { return a.tag == b.tag; });
    dir.repeated = static_cast<std::size_t>(dir.entries.end() - last);
    dir.entries.erase(last, dir.entries.end());
    return dir;
}

// The offset a sub-directory pointer holds, when it holds exactly one.
std::optional<uint64_t> pointerValue(const FileEntry& e, const FileFormat& f) {
    if (e.count != 1) return std::nullopt;
    if (e.type == kLong || e.type == 13) return getUint(e.field.data(), 4, f.bigEndian);
    if (f.big && (e.type == kLong8 || e.type == 18)) return getUint(e.field.data(), 8, f.bigEndian);
    return std::nullopt;
}

struct Capture {
    CarriedDirectory dir;
    FileEntry entry;
};

// Walks the image directory and the Exif, GPS and Interoperability
// directories it points to, collecting what may be carried and saying why
// anything else is left out.
class TagWalk {
public:
    TagWalk(TIFF* tif, TiffFile& file, std::vector<std::string>& warnings)
        : tif_(tif), file_(file), f_{TIFFIsBigTIFF(tif) != 0, TIFFIsBigEndian(tif) != 0}, warnings_(warnings) {}

    const FileFormat& format() const { return f_; }

    // False when the image directory itself cannot be read.
    bool collect() {
        std::optional<uint64_t> exif, gps, interop;
        visited_.push_back(TIFFCurrentDirOffset(tif_));
        const std::optional<FileDirectory> image = directory(CarriedDirectory::Image, visited_.back());
        if (!image) return false;
        for (const FileEntry& e : image->entries) {
            if (e.tag == kExifPointer) exif = pointer(CarriedDirectory::Image, e);
            else if (e.tag == kGpsPointer) gps = pointer(CarriedDirectory::Image, e);
            else capture(CarriedDirectory::Image, e);
        }
        limitImageEntries();
        // Fixed nesting, so a pointer loop cannot make the walk go round.
        if (const auto d = subDirectory(CarriedDirectory::Exif, exif))
            for (const FileEntry& e : d->entries) {
                if (e.tag == kInteropPointer) interop = pointer(CarriedDirectory::Exif, e);
                else capture(CarriedDirectory::Exif, e);
            }
        captureAll(CarriedDirectory::Gps, gps);
        captureAll(CarriedDirectory::Interoperability, interop);
        return true;
    }

    // Over the budget the largest go first: one oversized block should not
    // cost every small tag.
    std::vector<Capture> withinBudget() const {
        uint64_t total = 0;
        for (const Capture& c : captured_) total += c.entry.bytes;
        if (total <= kMaxCarriedTagBytes) return captured_;
        std::vector<std::size_t> bySize(captured_.size());
        for (std::size_t i = 0; i < bySize.size(); ++i) bySize[i] = i;
        std::stable_sort(bySize.begin(), bySize.end(), [&](std::size_t a, std::size_t b) {
            return captured_[a].entry.bytes > captured_[b].entry.bytes;
        });
        std::vector<bool> dropped(captured_.size());
        for (std::size_t i : bySize) {
            if (total <= kMaxCarriedTagBytes) break;
            dropped[i] = true;
            total -= captured_[i].entry.bytes;
            warnings_.push_back(name(captured_[i].dir, captured_[i].entry.tag) + " left out: its " +
                                std::to_string(captured_[i].entry.bytes) + " bytes pass the " +
                                std::to_string(kMaxCarriedTagBytes >> 20) + " MiB that tags may take");
        }
        std::vector<Capture> kept;
        for (std::size_t i = 0; i < captured_.size(); ++i)
            if (!dropped[i]) kept.push_back(captured_[i]);
        return kept;
    }

private:
    std::string name(CarriedDirectory dir, uint16_t tag) const {
        std::string text = dir == CarriedDirectory::Image ? "tag " : directoryName(dir) + std::string(" tag ");
        text += std::to_string(tag);
        if (dir == CarriedDirectory::Image)
            if (const TIFFField* field = TIFFFindField(tif_, tag, TIFF_ANY))
                text += std::string(" (") + TIFFFieldName(field) + ")";
        return text;
    }
    std::optional<FileDirectory> directory(CarriedDirectory dir, uint64_t offset) {
        std::string why;
        std::optional<FileDirectory> d = readDirectory(file_, f_, offset, why);
        if (!d)
            warnings_.push_back(std::string(directoryName(dir)) + " directory left out: it " + why);
        else if (d->repeated)
            warnings_.push_back(std::string(directoryName(dir)) + " directory repeats " + std::to_string(d->repeated) +
                                " tags; the first of each is carried");
        return d;
    }
    void capture(CarriedDirectory dir, const FileEntry& e) {
        if (dir == CarriedDirectory::Image && isStructural(e.tag)) return;
        if (const char* why = refusal(dir, e.tag, e.type, e.count))
            warnings_.push_back(name(dir, e.tag) + " left out: it " + why);
        else if (e.valueAt > file_.size() || e.bytes > file_.size() - e.valueAt)
            warnings_.push_back(name(dir, e.tag) + " left out: its value lies outside the file");
        else
            captured_.push_back({dir, e});
    }
    void captureAll(CarriedDirectory dir, std::optional<uint64_t> offset) {
        if (const auto d = subDirectory(dir, offset))
            for (const FileEntry& e : d->entries) capture(dir, e);
    }
    // A directory the walk has already read would come back as a second,
    // stale copy of its entries.
    std::optional<FileDirectory> subDirectory(CarriedDirectory dir, std::optional<uint64_t> offset) {
        if (!offset) return std::nullopt;
        if (std::find(visited_.begin(), visited_.end(), *offset) != visited_.end()) {
            warnings_.push_back(std::string(directoryName(dir)) +
                                " directory left out: it points back to a directory already read");
            return std::nullopt;
        }
        visited_.push_back(*offset);
        return directory(dir, *offset);
    }
    // The expanded TIFF's image directory holds libtiff's entries as well.
    void limitImageEntries() {
        const auto n = static_cast<uint64_t>(captured_.size());
        if (n + kOwnImageEntries <= kMaxEntries) return;
        captured_.clear();
        warnings_.push_back("image directory's tags left out: its " + std::to_string(n) + " entries pass the " +
                            std::to_string(kMaxEntries - kOwnImageEntries) + " that can be carried");
    }
    std::optional<uint64_t> pointer(CarriedDirectory dir, const FileEntry& e) {
        std::optional<uint64_t> at = pointerValue(e, f_);
        if (!at) warnings_.push_back(name(dir, e.tag) + " left out: it is not the offset of one directory");
        return at;
    }

    TIFF* tif_;
    TiffFile& file_;
    FileFormat f_;
    std::vector<std::string>& warnings_;
    std::vector<Capture> captured_;
    std::vector<uint64_t> visited_;  // directory offsets
};

// The "KTAG" encoding of the captured tags, values read from the file in
// little-endian order; empty when a value cannot be read.
std::vector<uint8_t> encodeCaptured(const std::vector<Capture>& captured, TiffFile& file, const FileFormat& f,
                                    std::vector<std::string>& warnings) {
    std::vector<uint8_t> blob(std::begin(kMagic), std::end(kMagic));
    blob.push_back(kVersion);
    blob.push_back(0);  // directories, counted below
    const auto put = [&](uint64_t v, int bytes) {
        blob.resize(blob.size() + bytes);
        putUint(blob.data() + blob.size() - bytes, v, bytes, false);
    };
    for (std::size_t i = 0; i < captured.size();) {
        const CarriedDirectory dir = captured[i].dir;
        std::size_t end = i;
        while (end < captured.size() && captured[end].dir == dir) ++end;
        ++blob[5];
        put(static_cast<uint8_t>(dir), 1);
        put(end - i, 2);
        for (; i < end; ++i) {
            const FileEntry& e = captured[i].entry;
            put(e.tag, 2);
            put(e.type, 2);
            put(e.count, 4);
            const std::size_t at = blob.size();
            blob.resize(at + static_cast<std::size_t>(e.bytes));
            if (!file.read(e.valueAt, blob.data() + at, static_cast<std::size_t>(e.bytes))) {
                warnings.push_back("tags left out: the input cannot be read");
                return {};
            }
            if (f.bigEndian && !keepsFileBytes(dir, e.tag))
                swapUnits(blob.data() + at, static_cast<std::size_t>(e.bytes), swapUnit(e.type));
        }
    }
    return blob;
}

}  // namespace

// ---- Reading ----------------------------------------------------------------

std::vector<uint8_t> readCarriedTags(TIFF* tif, std::vector<std::string>& warnings) {
    TiffFile file(tif);
    TagWalk walk(tif, file, warnings);
    if (!walk.collect()) return {};
    const std::vector<Capture> captured = walk.withinBudget();
    if (captured.empty()) return {};
    return encodeCaptured(captured, file, walk.format(), warnings);
}

std::string unreadableSubDirectory(TIFF* tif) {
    std::string why;
    {
        TiffFile file(tif);
        const FileFormat f{TIFFIsBigTIFF(tif) != 0, TIFFIsBigEndian(tif) != 0};
        const auto pointers = [&](uint64_t at, std::initializer_list<uint16_t> tags) {
            std::vector<std::pair<uint16_t, uint64_t>> found;
            std::string ignored;
            if (const auto d = readDirectory(file, f, at, ignored))
                for (const FileEntry& e : d->entries)
                    if (std::find(tags.begin(), tags.end(), e.tag) != tags.end())
                        if (const auto p = pointerValue(e, f)) found.emplace_back(e.tag, *p);
            return found;
        };
        for (const auto& [tag, at] : pointers(TIFFCurrentDirOffset(tif), {kExifPointer, kGpsPointer})) {
            if (tag == kGpsPointer) {
                if (TIFFReadGPSDirectory(tif, at) != 1) why = "the GPS directory";
                continue;
            }
            if (TIFFReadEXIFDirectory(tif, at) != 1) {
                why = "the Exif directory";
                continue;
            }
            for (const auto& [inner, interop] : pointers(at, {kInteropPointer})) {
                (void)inner;
                if (TIFFReadEXIFDirectory(tif, interop) != 1) why = "the Interoperability directory";
            }
        }
    }
    if (TIFFSetDirectory(tif, 0) != 1 && why.empty()) why = "the image directory";
    return why;
}

// ---- Decoding ---------------------------------------------------------------

namespace {

class Cursor {
public:
    explicit Cursor(std::span<const uint8_t> bytes) : rest_(bytes) {}
    bool atEnd() const { return rest_.empty(); }
    std::span<const uint8_t> take(uint64_t n) {
        if (n > rest_.size()) throwDamaged();
        const std::span<const uint8_t> taken = rest_.first(static_cast<std::size_t>(n));
        rest_ = rest_.subspan(static_cast<std::size_t>(n));
        return taken;
    }
    uint64_t number(int bytes) { return getUint(take(static_cast<uint64_t>(bytes)).data(), bytes, false); }

private:
    std::span<const uint8_t> rest_;
};

}  // namespace

std::vector<CarriedTag> decodeCarriedTags(std::span<const uint8_t> encoded) {
    std::vector<CarriedTag> tags;
    if (encoded.empty()) return tags;
    Cursor in(encoded);
    if (!std::equal(std::begin(kMagic), std::end(kMagic), in.take(sizeof kMagic).begin()) ||
        in.number(1) != kVersion)
        throwDamaged();
    const uint64_t directories = in.number(1);
    if (directories < 1 || directories > 4) throwDamaged();
    int lastKind = -1;
    for (uint64_t d = 0; d < directories; ++d) {
        const auto kind = static_cast<int>(in.number(1));
        if (kind <= lastKind || kind > static_cast<int>(CarriedDirectory::Interoperability)) throwDamaged();
        lastKind = kind;
        const auto dir = static_cast<CarriedDirectory>(kind);
        const uint64_t entries = in.number(2);
        if (entries == 0) throwDamaged();
        int lastTag = -1;
        for (uint64_t i = 0; i < entries; ++i) {
            const auto tag = static_cast<uint16_t>(in.number(2));
            const auto type = static_cast<uint16_t>(in.number(2));
            const auto count = static_cast<uint32_t>(in.number(4));
            if (tag <= lastTag || (dir == CarriedDirectory::Image && isStructural(tag)) ||
                refusal(dir, tag, type, count))
                throwDamaged();
            lastTag = tag;
            tags.push_back({dir, tag, type, count, in.take(uint64_t{count} * typeBytes(type))});
        }
    }
    if (!in.atEnd()) throwDamaged();
    return tags;
}

void checkCarriedTags(std::span<const uint8_t> encoded) { decodeCarriedTags(encoded); }

// ---- Writing ----------------------------------------------------------------

namespace {

struct OutEntry {
    uint16_t tag = 0, type = 0;
    uint64_t count = 0;
    const FileEntry* kept = nullptr;       // libtiff's, its value or offset unchanged
    const CarriedTag* carried = nullptr;
    std::size_t child = 0;                 // with neither: the directory this one points to
};

struct OutDirectory {
    std::vector<OutEntry> entries;
    uint64_t next = 0;
    uint64_t at = 0;  // file offset
};

// The directories to write, entries by tag: children before their parents,
// so that each offset is known when its pointer is written, and the image
// directory (libtiff's entries that no carried tag replaces, and the carried
// ones) last. Nullopt when the image directory would have too many entries;
// a sub-directory with too many (from a container written before they were
// limited, or forged) is left out with a warning.
std::optional<std::vector<OutDirectory>> planDirectories(const std::vector<CarriedTag>& tags,
                                                         const FileDirectory& written, const FileFormat& f,
                                                         std::vector<std::string>& warnings) {
    std::vector<OutDirectory> out;
    std::vector<OutEntry> byDir[4];
    for (const CarriedTag& t : tags)
        byDir[static_cast<int>(t.directory)].push_back({t.tag, t.type, t.count, nullptr, &t});
    for (int d = 1; d < 4; ++d)
        if (byDir[d].size() > kMaxEntries) {
            warnings.push_back(std::string("carried ") + directoryName(static_cast<CarriedDirectory>(d)) +
                               " directory left out: its " + std::to_string(byDir[d].size()) +
                               " entries pass the " + std::to_string(kMaxEntries) + " that TIFF readers accept");
            byDir[d].clear();
        }
    const auto pointTo = [&](std::vector<OutEntry>& parent, uint16_t tag) {
        parent.push_back({tag, f.big ? kLong8 : kLong, 1, nullptr, nullptr, out.size() - 1});
    };
    std::vector<OutEntry>& image = byDir[static_cast<int>(CarriedDirectory::Image)];
    std::vector<OutEntry>& exif = byDir[static_cast<int>(CarriedDirectory::Exif)];
    bool hasExif = false, hasGps = false;
    if (const auto& interop = byDir[static_cast<int>(CarriedDirectory::Interoperability)]; !interop.empty()) {
        out.push_back({interop});
        pointTo(exif, kInteropPointer);
    }
    if (!exif.empty()) {
        out.push_back({exif});
        pointTo(image, kExifPointer);
        hasExif = true;
    }
    if (const auto& gps = byDir[static_cast<int>(CarriedDirectory::Gps)]; !gps.empty()) {
        out.push_back({gps});
        pointTo(image, kGpsPointer);
        hasGps = true;
    }
    for (const FileEntry& e : written.entries) {
        const bool replaced =
            (e.tag == kExifPointer && hasExif) || (e.tag == kGpsPointer && hasGps) ||
            std::any_of(tags.begin(), tags.end(), [&](const CarriedTag& t) {
                return t.directory == CarriedDirectory::Image && t.tag == e.tag;
            });
        if (!replaced) image.push_back({e.tag, e.type, e.count, &e});
    }
    if (image.size() > kMaxEntries) return std::nullopt;
    out.push_back({image, written.next});
    for (OutDirectory& d : out)
        std::sort(d.entries.begin(), d.entries.end(), [](const OutEntry& a, const OutEntry& b) { return a.tag < b.tag; });
    return out;
}

// Bytes a carried value takes after its directory: none when it fits in the
// entry, and every item starts at an even offset.
uint64_t valueBytes(const OutEntry& e, const FileFormat& f) {
    return e.carried && e.carried->value.size() > static_cast<std::size_t>(f.fieldBytes())
               ? e.carried->value.size() + (e.carried->value.size() & 1)
               : 0;
}

// Places each directory, followed by its out-of-entry values, from `start`
// (made even); returns where the last ends.
uint64_t layOut(std::vector<OutDirectory>& out, const FileFormat& f, uint64_t start) {
    uint64_t end = start + (start & 1);
    for (OutDirectory& d : out) {
        d.at = end;
        end += f.directoryBytes(d.entries.size());
        for (const OutEntry& e : d.entries) end += valueBytes(e, f);
    }
    return end;
}

// The laid-out directories and their values as the bytes from `start` to `end`.
std::vector<uint8_t> serialise(const std::vector<OutDirectory>& out, const FileFormat& f, uint64_t start,
                               uint64_t end) {
    std::vector<uint8_t> bytes(static_cast<std::size_t>(end - start), 0);
    const auto at = [&](uint64_t offset) { return bytes.data() + (offset - start); };
    const int fieldAt = f.big ? 12 : 8;
    for (const OutDirectory& d : out) {
        putUint(at(d.at), d.entries.size(), f.countBytes(), f.bigEndian);
        uint64_t values = d.at + f.directoryBytes(d.entries.size());
        for (std::size_t i = 0; i < d.entries.size(); ++i) {
            const OutEntry& e = d.entries[i];
            uint8_t* p = at(d.at + f.countBytes() + i * f.entryBytes());
            putUint(p, e.tag, 2, f.bigEndian);
            putUint(p + 2, e.type, 2, f.bigEndian);
            putUint(p + 4, e.count, f.big ? 8 : 4, f.bigEndian);
            uint8_t* field = p + fieldAt;
            if (e.kept) {
                std::memcpy(field, e.kept->field.data(), static_cast<std::size_t>(f.fieldBytes()));
                continue;
            }
            if (!e.carried) {
                putUint(field, out[e.child].at, f.fieldBytes(), f.bigEndian);
                continue;
            }
            const std::span<const uint8_t> v = e.carried->value;
            uint8_t* to = field;
            if (valueBytes(e, f) > 0) {
                putUint(field, values, f.fieldBytes(), f.bigEndian);
                to = at(values);
                values += valueBytes(e, f);
            }
            std::memcpy(to, v.data(), v.size());
            if (f.bigEndian && !keepsFileBytes(e.carried->directory, e.tag))
                swapUnits(to, v.size(), swapUnit(e.type));
        }
        putUint(at(d.at + f.countBytes() + d.entries.size() * f.entryBytes()), d.next, f.fieldBytes(),
                f.bigEndian);
    }
    return bytes;
}

}  // namespace

void appendCarriedTags(TIFF* tif, std::span<const uint8_t> encoded, std::vector<std::string>& warnings) {
    const std::vector<CarriedTag> tags = decodeCarriedTags(encoded);
    if (tags.empty()) return;
    const auto leaveOut = [&](const std::string& why) { warnings.push_back("carried tags left out: " + why); };

    TiffFile file(tif);
    uint8_t header[16];
    if (!file.read(0, header, 8)) return leaveOut("the output's header cannot be read back");
    FileFormat f;
    f.bigEndian = header[0] == 'M';
    f.big = getUint(header + 2, 2, f.bigEndian) == 43;
    if (f.big && !file.read(8, header + 8, 8)) return leaveOut("the output's header cannot be read back");
    const uint64_t firstAt = f.big ? 8 : 4;  // where the header holds the first directory's offset
    const uint64_t first = getUint(header + firstAt, f.fieldBytes(), f.bigEndian);
    if (first == 0) throw Error("carried tags are added after the output's directory is written");
    std::string why;
    const std::optional<FileDirectory> written = readDirectory(file, f, first, why);
    if (!written) return leaveOut("the output's directory " + why);

    std::optional<std::vector<OutDirectory>> out = planDirectories(tags, *written, f, warnings);
    if (!out) return leaveOut("the image directory would pass the " + std::to_string(kMaxEntries) +
                              " entries that TIFF readers accept");
    const uint64_t start = file.size();
    const uint64_t end = layOut(*out, f, start);
    if (!f.big && end > std::numeric_limits<uint32_t>::max())
        return leaveOut("the output would pass the 4 GiB of a classic TIFF");
    const std::vector<uint8_t> bytes = serialise(*out, f, start, end);

    // The header is pointed at the new directory only once all of it is in
    // the file: until then libtiff's stands.
    uint8_t pointer[8];
    putUint(pointer, out->back().at, f.fieldBytes(), f.bigEndian);
    if (!file.write(start, bytes.data(), bytes.size()) ||
        !file.write(firstAt, pointer, static_cast<std::size_t>(f.fieldBytes())))
        throw Error(kCannotWriteOutputText, "carried tags");
}

int orientationOf(std::span<const uint8_t> carriedTags) {
    constexpr uint16_t kOrientationTag = 274, kShortType = 3;
    for (const CarriedTag& t : decodeCarriedTags(carriedTags))
        if (t.directory == CarriedDirectory::Image && t.tag == kOrientationTag && t.type == kShortType &&
            t.count == 1) {
            const int v = t.value[0] | t.value[1] << 8;
            return v >= 1 && v <= 8 ? v : 1;
        }
    return 1;
}

}  // namespace kirune
