#pragma once
// Expanding a folder into the image files below it, shared by `rpx -r` and
// folders dropped on the dialog so that both see the same files in the same
// order.

#include <string>
#include <vector>

namespace kirune {

// What a walk takes: the dialog dispatches whatever it finds by name; rpx
// walks one way only.
enum class WalkFinds { Both, Images, Containers };

// Every regular file below `root` whose name the batch dispatches (TIFF, BMP,
// PNG or .rpx; only those of `finds`), as paths that start with `root`, in byte order of their paths
// relative to it. Symbolic links to folders are not entered, and a symbolic
// link to a file counts only when its target lies inside `root`, so the walk
// never leaves the tree. Folders that cannot be read are skipped, each on its
// own; the hidden temporaries an interrupted output may leave
// (".NAME.XXXXXXXX.part") are not images.
std::vector<std::string> collectFolderImages(const std::string& root, WalkFinds finds = WalkFinds::Both);

}  // namespace kirune
