#pragma once
// The .rpx container: a header, the strip sections, an optional trailer; the
// layout of each is mapped in docs/format.md.
//
// The writer codes each strip section in memory and appends it; the reader
// never seeks. Everything read is checked
// against the file's size and the stream buffers before it is used, so a
// damaged file throws Error and never makes the reader allocate more than the
// file can justify: a message saying what is wrong with a foreign, cut or
// damaged header, kTruncatedStripText when the file ends inside a strip,
// kDamagedFileText for damaged strip data.
//
// Limits on what a hostile file costs to expand, whatever size its header
// claims: header texts and the ICC profile no longer than the rest of the
// file; strip budget at most 2^kStripBudgetLog2 padded pixels, and one stream table per
// strip present in the file before any strip buffer exists; so the working
// set is one strip's planes and stream buffers per strip worker (the driver
// bounds the workers by the threads, the strips and a 1 GiB budget), each
// stream sized by the worst case per block of that geometry. A raw length
// that does not fit its buffer, or streams that run past the end of the file,
// are refused before they are read; a section read into memory is bounded by
// the rest of the file; a coded stream's buffers are bounded by one block and
// by its own lengths; the TIFF and BMP writers hold one strip of rows at most.

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "container/metadata.h"
#include "container/output_file.h"
#include "container/stream_table.h"
#include "container/trailer.h"

namespace kirune {

class BlockSortWorkspaces;

inline constexpr char kContainerMagic[4] = "RP2";
inline constexpr uint8_t kMagicXor = 0xB4;        // the magic's letters stored XOR this
inline constexpr uint8_t kDescriptionXor = 0xB4;  // description bytes before the NUL
inline constexpr const char* kContainerVersion = "09.16";

// One strip section: the stream table, then the seven streams as the file
// records them (`recorded`). A section read from a file holds all of it in
// `bytes`, stream i at bytes[offset[i], offset[i + 1]). A coded one holds
// only the table there: its streams are views of `coded` and, for streams
// stored as they are, of the side streams it was coded from, valid until
// those are cleared or coded again. So a strip's streams are not copied
// once more on their way to the file.
struct StripSection {
    StripSection();
    StreamTable table{};
    std::vector<uint8_t> bytes;
    std::array<std::size_t, 8> offset{};
    std::array<std::span<const uint8_t>, kStreamCount> recorded{};
    // The coder's memory, kept for the next strip the section is used for.
    std::shared_ptr<BlockSortWorkspaces> coders;
    // Each block-sorted stream's coded bytes, kept with their capacity so
    // that later strips code into pages already touched.
    std::array<std::vector<uint8_t>, kStreamCount> coded;

    // Bytes the section takes in the file.
    std::size_t size() const;
};

// The header's bytes for the image size, strip budget, quality level and
// colour sampling in `c` and for `meta`.
std::vector<uint8_t> encodeContainerHeader(const FileCoding& c, const ImageMetadata& meta);

// A container being written to a temporary file beside its final name.
class ContainerWriter {
public:
    explicit ContainerWriter(std::string path, const OutputOptions& options = {})
        : out_(std::move(path), options) {}

    std::FILE* stream() const { return out_.stream(); }
    const std::string& path() const { return out_.finalPath(); }
    // End of what has been written: where the next strip starts.
    int64_t end() const { return end_; }
    // Completes the file under its final name (see OutputFile::commit).
    void commit();

private:
    friend void writeContainerHeader(ContainerWriter&, const FileCoding&, const ImageMetadata&);
    friend void appendStripSection(ContainerWriter&, const StripSection&);
    friend void appendTrailer(ContainerWriter&, Trailer);
    void append(std::span<const uint8_t> bytes) { append(std::span(&bytes, 1)); }
    // The parts one after another, as one piece of the file.
    void append(std::span<const std::span<const uint8_t>> parts);
    OutputFile out_;
    int64_t end_ = 0;
    Checksummer written_;  // everything before the trailer, as it was written
};

// Writes the header at the start of the file. Call once, before any strip.
void writeContainerHeader(ContainerWriter& out, const FileCoding& c, const ImageMetadata& meta);

// Codes streams whose contents and rawLength[] are final into a section (which
// refers to `st` until it is written), the
// block-sorted streams on up to `threads` threads (the bytes do not depend on
// it). `alongside`, when given, runs on one of those threads once the streams
// are handed out; it must not touch `st` or `sec`.
void encodeStripSection(const SideStreams& st, StripSection& sec, int threads = 1,
                        const std::function<void()>& alongside = {});
// Appends a coded section behind the last one.
void appendStripSection(ContainerWriter& out, const StripSection& sec);

// Appends the trailer behind the last strip, with the checksum of every byte
// written before it filled in. Nothing may follow it.
void appendTrailer(ContainerWriter& out, Trailer trailer);

// encodeStripSection and appendStripSection in one, on one thread (tools and
// tests). Returns the table it wrote.
StreamTable encodeAndAppendStripSection(ContainerWriter& out, const SideStreams& st);

// A container opened for reading, with its size known up front.
class ContainerReader {
public:
    // Throws Error (kCannotOpenInputText, kNotRegularFileText) when the file
    // cannot be opened or is not a regular file.
    explicit ContainerReader(const std::string& path);
    ~ContainerReader();
    ContainerReader(const ContainerReader&) = delete;
    ContainerReader& operator=(const ContainerReader&) = delete;

    std::FILE* stream() const { return file_; }
    int fd() const { return ::fileno(file_); }
    const std::string& path() const { return path_; }
    // Where the strips must end: the file's size, or where its trailer starts.
    int64_t size() const { return size_; }
    void setEnd(int64_t end) { size_ = std::min(size_, end); }
    int64_t position() const { return pos_; }
    int64_t remaining() const { return size_ - pos_; }
    // The file as opened: its identity, permissions and times.
    const struct stat& status() const { return status_; }

    // Reads exactly n bytes or throws Error(failText).
    void read(void* dst, std::size_t n, const char* failText);
    // Steps over n bytes without keeping them, or throws Error(failText).
    void skip(uint64_t n, const char* failText);
    // Takes the position from the stream after a call that read through it.
    void syncPosition(const char* failText);
    // The strips the header announced and the sections begun since: a file
    // that ends early says where.
    void expectStrips(int32_t count) { stripCount_ = count; }
    void beginStrip() { ++stripsBegun_; }
    [[noreturn]] void truncatedInStrip() const;

private:
    std::string path_;
    std::FILE* file_ = nullptr;
    struct stat status_ {};
    int64_t size_ = 0;
    int64_t pos_ = 0;
    int32_t stripCount_ = 0;
    int32_t stripsBegun_ = 0;
};

// Reads and checks the header: the quality parameters, colour sampling and
// strip layout it implies, and the metadata into `meta`. Allocates nothing
// beyond the header's own fields.
FileCoding readContainerHeader(ContainerReader& in, ImageMetadata& meta);

// A container opened for reading its strips: the header read and checked, the
// trailer (when there is one) read, the reader's end set where the strips
// must end, and the trailer's carried tags in meta. Checking the container
// checksum and the carried tags is left to the caller.
struct OpenedContainer {
    std::unique_ptr<ContainerReader> reader;
    FileCoding coding;
    ImageMetadata meta;
    std::optional<Trailer> trailer;
};
OpenedContainer openContainer(const std::string& path);
// Throws the damaged-file error when the trailer records a container checksum
// and the file's bytes before the trailer do not match it.
void checkContainerChecksum(const OpenedContainer& c);

// Reads the next strip section as it lies in the file. Raw lengths are checked
// against the buffers of `st` and every length against the rest of the file
// before anything is read, so a section never holds more than the file has.
void readStripSection(ContainerReader& in, const SideStreams& st, StripSection& sec);
// Expands a section read by readStripSection into the stream buffers of `st`
// (on up to `threads` threads) and sets st.rawLength[] for the decoder.
void expandStripSection(const StripSection& sec, SideStreams& st, int threads = 1);

// readStripSection and expandStripSection in one, on one thread (tools and
// tests): the next strip into the stream buffers (allocated for the file's
// geometry), st.rawLength[] set for the decoder.
StreamTable readAndExpandStripSection(ContainerReader& in, SideStreams& st);

// Reads the next strip's table and steps over its streams without expanding
// them (for listing a container's layout).
StreamTable skipStripSection(ContainerReader& in);

}  // namespace kirune
