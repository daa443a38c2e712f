#pragma once
// What the fuzz targets share: a scratch folder per process, writing an input
// to a file there, and a batch UI that shows nothing.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/core/drivers.h"
#include "app/core/presets.h"
#include "app/core/ui.h"

namespace kirune::fuzz {

// Created on first use, removed with everything in it when the process ends;
// each fuzzing process (-jobs, -fork) has its own.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kirune-fuzz-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        dir_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    const std::filesystem::path& dir() const { return dir_; }
    // Removes whatever the last input left (outputs, stray temporaries).
    void clear() const {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir_, ec))
            std::filesystem::remove_all(e.path(), ec);
    }

private:
    std::filesystem::path dir_;
};

inline const ScratchDir& scratch() {
    static const ScratchDir dir;
    return dir;
}

inline void writeInput(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    const bool ok = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !ok) std::abort();
}

// Warnings (tags left out, repaired inputs) are expected on fuzzed images.
struct SilentUi : BatchUi {
    void showMessage(const std::string&, const std::string&) override {}
    void showWarning(const std::string&, const std::string&) override {}
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int) override {}
};

// Settings of the preset that `key` picks (every sampling gets its share),
// writing into `outputDir`.
inline JobSettings presetSettings(std::size_t key, const std::string& outputDir) {
    const Preset& p = kPresets[key % 10];
    JobSettings settings;
    settings.qualityLevel = p.qualityLevel;
    settings.colourSampling = p.colourSampling;
    settings.qualityDbText = std::to_string(p.dbFigure);
    settings.outputDir = outputDir;
    return settings;
}

// No temporary (".name.xxxxxxxx.part") may outlive a failed file.
inline void requireNoTemporaries() {
    for (const auto& e : std::filesystem::directory_iterator(scratch().dir()))
        if (e.path().extension() == ".part") std::abort();
}

}  // namespace kirune::fuzz
