// A batch window that writes down its messages ("path|text") and warnings.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/core/ui.h"
#include "container/rpx_container.h"
#include "container/trailer.h"

namespace kirune::test {

struct RecordingUi : BatchUi {
    std::vector<std::string> messages, warnings;
    void showMessage(const std::string& p, const std::string& t) override { messages.push_back(p + "|" + t); }
    void showWarning(const std::string&, const std::string& t) override { warnings.push_back(t); }
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int) override {}
};
using Quiet = RecordingUi;

// A photograph-like 16-bit picture: smooth shading, an edge and some texture.
inline uint16_t photo(int x, int y, int c) {
    double v = 20000 + 9000 * std::sin(x * 0.05 + c) + 7000 * std::cos(y * 0.07 - c * 0.5);
    v += (x > 2 * y ? 12000 : 0) + ((x * 7 + y * 13 + c * 5) % 17) * 150;
    return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
}

// The trailer of the container at `rpx`; a container's header and strips with `t` after them.
inline std::optional<Trailer> trailerOf(const std::string& rpx) {
    const ContainerReader in(rpx);
    return readTrailer(in.fd(), in.size());
}
inline std::vector<uint8_t> withTrailer(std::vector<uint8_t> body, const Trailer& t) {
    const std::vector<uint8_t> encoded = encodeTrailer(t);
    return body.insert(body.end(), encoded.begin(), encoded.end()), body;
}

// 16-bit samples rounded to 8 bits, as 8-bit outputs hold them.
inline std::vector<uint16_t> to8(std::vector<uint16_t> v) {
    for (uint16_t& s : v) s = static_cast<uint16_t>(std::min(255, (s + 128) >> 8));
    return v;
}

}  // namespace kirune::test
