#pragma once
// Texts of the errors thrown by the container, the image readers and the
// writers, in English (po/ja.po has their Japanese). Details (the path, the
// system's or libtiff's reason) follow the text after ": " where they help;
// the text itself always comes first.

#include "kirune/Error.h"

namespace kirune {

// Containers: a foreign file, or one whose header is cut short or damaged
// (damaged strip data: kDamagedFileText).
inline constexpr const char* kBadMagicText = messageId("not an .rpx container (bad magic)");
inline constexpr const char* kUnsupportedVersionText = messageId("unsupported .rpx container version");
inline constexpr const char* kTruncatedHeaderText =
    messageId("truncated: the file ends inside the container header");
// {1}: which field is out of range.
inline constexpr const char* kDamagedHeaderText = messageId("damaged container header: {1}");
// Too short for even the tables of the strips the header announces.
inline constexpr const char* kTooShortForStripsText =
    messageId("truncated: the file is shorter than its header announces");
// {1} of {2}: the strip, counted from 1, and the strips the header promises.
inline constexpr const char* kTruncatedStripText = messageId("truncated: the file ends inside strip {1} of {2}");

// Input images, refused before any output is created.
inline constexpr const char* kCannotOpenInputText = messageId("cannot open the file");
// A folder, FIFO, device or socket: refused without being opened.
inline constexpr const char* kNotRegularFileText = messageId("not a regular file");
// Only the first directory is read; further full-size pages would be lost.
inline constexpr const char* kMultiPageTiffText =
    messageId("multi-page TIFFs are not supported (pages after the first would be lost)");
// {1}: the directories read before the walk stopped.
inline constexpr const char* kTooManyDirectoriesText =
    messageId("more than {1} images in one TIFF: a further page would be lost");
inline constexpr const char* kNotTiffText = messageId("not a readable TIFF file");
inline constexpr const char* kUnsupportedTiffText =
    messageId("unsupported TIFF (rpx reads 8- or 16-bit RGB, or greyscale with one sample)");
inline constexpr const char* kNotBmpText = messageId("not a BMP file");
inline constexpr const char* kUnsupportedBmpText =
    messageId("unsupported BMP (rpx reads uncompressed 24-bit BMPs)");
inline constexpr const char* kNotPngText = messageId("not a readable PNG file");
inline constexpr const char* kUnsupportedPngText =
    messageId("unsupported PNG (rpx reads 8- or 16-bit RGB or greyscale without alpha or palette)");
inline constexpr const char* kInputReadText = messageId("cannot read the image data");

// Outputs.
inline constexpr const char* kCannotCreateOutputText = messageId("cannot create the output file");
inline constexpr const char* kCannotWriteOutputText = messageId("cannot write the output file");
// An existing file of the output's name, which rpx replaces only when forced.
inline constexpr const char* kOutputExistsText =
    messageId("the output file already exists (use -f/--force to replace it)");
// {1}: the size the BMP would have.
inline constexpr const char* kBmpTooLargeText =
    messageId("a BMP of {1} bytes is over the format's 4 GiB limit: expand to TIFF instead");

}  // namespace kirune
