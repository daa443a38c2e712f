#pragma once
// Tags carried from an input TIFF into the expanded TIFF: every tag of the
// image directory that does not describe how the input's pixels are stored,
// and the Exif (with its Interoperability directory) and GPS directories,
// each value with the exact bytes it had.
//
// Both ends work on the files' directory bytes, not through libtiff's typed
// tag interface: libtiff keeps rationals as floats (WhitePoint 3127/10000
// would come back as 10492471/33554432), cannot write a private tag it was
// not told the type of, and writes Exif and GPS directories only by reading
// back and rewriting the main directory after the image. So the reader
// parses the directories through the input handle's own I/O procedures,
// without leaving the current directory, and the writer, once libtiff has
// written the image and its directory, appends the sub-directories and a
// copy of that directory with the carried entries merged in, then points the
// header at the copy. libtiff's own entry table stays behind unreferenced (a
// few hundred bytes); the values it points to are shared by the copy.
//
// Not carried, each with a warning: tags whose value is the offset of other
// data (SubIFDs, GlobalParametersIFD, IFD-typed entries), entries of
// BigTIFF's 64-bit types, a TransferFunction for other than 16-bit samples,
// entries that lie outside the file, the largest tags beyond
// kMaxCarriedTagBytes, and directories that libtiff would not read back from
// the expanded TIFF: over 4,096 entries (the image directory's carried ones
// leave room for libtiff's own), or reached by a pointer back to a directory
// already read. Private tags are carried as they are, so data they
// locate by file offset (such as some maker notes) does not follow them.
//
// The blob's encoding is the trailer's CarriedTags record (docs/format.md).
// An empty blob carries nothing.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// libtiff's handle, declared as tiffio.h declares it, so that callers that
// only validate carried data need none of libtiff.
typedef struct tiff TIFF;

namespace kirune {

// Tag data carried at most, values only.
inline constexpr uint64_t kMaxCarriedTagBytes = uint64_t{16} << 20;

enum class CarriedDirectory : uint8_t { Image = 0, Exif = 1, Gps = 2, Interoperability = 3 };

struct CarriedTag {
    CarriedDirectory directory = CarriedDirectory::Image;
    uint16_t tag = 0;
    uint16_t type = 0;  // TIFF field type, 1 to 12
    uint32_t count = 0;
    std::span<const uint8_t> value;  // inside the blob: count x the type's size bytes
};

// Captures the carried tags of `tif`'s current directory (the first, right
// after the input is opened and checked) and of the Exif, GPS and
// Interoperability directories it points to, encoded as above; empty when
// there are none. Leaves the handle on its directory, ready for reading
// scanlines, and reads only the tags' values, never the image. A tag that
// cannot be read or carried is left out with a warning text in `warnings`;
// it throws nothing but std::bad_alloc.
std::vector<uint8_t> readCarriedTags(TIFF* tif, std::vector<std::string>& warnings);

// Reads with libtiff the Exif, GPS and Interoperability directories that the
// current directory of `tif` (open for reading) points to: empty when every
// one reads, else which does not. Leaves the handle on its first directory.
std::string unreadableSubDirectory(TIFF* tif);

// The tags of a blob, in its order; the values point into `encoded`.
// Throws Error(kDamagedFileText) when the blob is malformed or holds a tag
// that must not be carried.
std::vector<CarriedTag> decodeCarriedTags(std::span<const uint8_t> encoded);

// The TIFF Orientation (1 to 8) among carried tags; 1 when there is none or
// it holds another value.
int orientationOf(std::span<const uint8_t> carriedTags);

// Validates a blob read from a container: throws Error(kDamagedFileText)
// exactly when decodeCarriedTags would.
void checkCarriedTags(std::span<const uint8_t> encoded);

// Writes the blob's tags into an output TIFF whose image and directory
// libtiff has just written: call it after TIFFFlush (or TIFFWriteDirectory)
// succeeded and before the handle is closed; nothing is needed before the
// scanlines. Structural tags stay the output's own; a carried tag replaces
// one of the same number that libtiff wrote (ImageDescription, the
// resolution, the ICC profile, ...), other tags libtiff wrote stay. When the
// tags cannot be added (a directory that cannot be read back, an image
// directory over 4,096 entries, a classic TIFF that would pass 4 GiB) the file
// is left as libtiff wrote it and a warning says why; an Exif, GPS or
// Interoperability directory over 4,096 entries (from a container written
// before they were limited, or forged) is left out alone, with a warning. Throws Error(kDamagedFileText) for a malformed blob and
// Error(kCannotWriteOutputText ...) when a write fails.
void appendCarriedTags(TIFF* tif, std::span<const uint8_t> encoded, std::vector<std::string>& warnings);

}  // namespace kirune
