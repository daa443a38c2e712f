// A batch window that ignores everything but the warnings.
#pragma once

#include <string>
#include <vector>

#include "app/core/ui.h"

namespace kirune::test {

struct Quiet : BatchUi {
    std::vector<std::string> warnings;
    void showMessage(const std::string&, const std::string&) override {}
    void showWarning(const std::string&, const std::string& t) override { warnings.push_back(t); }
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int) override {}
};

}  // namespace kirune::test
