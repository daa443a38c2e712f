// A batch window that writes down its messages ("path|text") and warnings.
#pragma once

#include <string>
#include <vector>

#include "app/core/ui.h"

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

}  // namespace kirune::test
