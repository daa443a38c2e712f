#pragma once
// Texts of the errors thrown by the container, the image readers and the
// writers. Details (the path, the system's or libtiff's reason) follow the
// text after ": " where they help; the text itself always comes first.

namespace kirune {

// A foreign or damaged container header (damaged strip data: kDamagedFileText).
inline constexpr const char* kUnsupportedFormatText = "このフォーマットには対応していません";

// Input images, refused before any output is created.
inline constexpr const char* kCannotOpenInputText = "ファイルを開けません";
// A folder, FIFO, device or socket: refused without being opened.
inline constexpr const char* kNotRegularFileText = "通常のファイルではありません";
// Only the first directory is read; further full-size pages would be lost.
inline constexpr const char* kMultiPageTiffText = "複数ページのTIFFには対応していません";
inline constexpr const char* kNotTiffText = "TIFFファイルとして読めません";
inline constexpr const char* kUnsupportedTiffText =
    "RGB 3サンプル8ビットまたは16ビットのTIFFではありません";
inline constexpr const char* kNotBmpText = "BMPファイルではありません";
inline constexpr const char* kUnsupportedBmpText = "非圧縮24ビットのBMPではありません";
inline constexpr const char* kInputReadText = "画像データを読み込めません";

// Outputs.
inline constexpr const char* kCannotCreateOutputText = "出力ファイルを作成できません";
inline constexpr const char* kCannotWriteOutputText = "出力ファイルに書き込めません";
// An existing file of the output's name, which rpx replaces only when forced.
inline constexpr const char* kOutputExistsText = "出力ファイルが既にあります（置き換えるには -f/--force）";
inline constexpr const char* kBmpTooLargeText = "BMPの上限4GiBを超えるため書き出せません";

}  // namespace kirune
