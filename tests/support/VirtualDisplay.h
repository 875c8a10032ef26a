#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace vantrel::testsupport {

// An X server of the test's own (Xvfb on a free display number, 1024x768), optionally with a
// window manager (openbox) that has finished starting. Both end with the object.
class VirtualDisplay {
  public:
    static constexpr int kWidth = 1024;
    static constexpr int kHeight = 768;

    explicit VirtualDisplay(bool withWindowManager = false);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // ":N", or empty when Xvfb (or the window manager asked for) did not start.
    const std::string& name() const { return display_; }

  private:
    bool startWindowManager();

    pid_t server_ = 0;
    pid_t windowManager_ = 0;
    std::string display_;
    std::filesystem::path folder_;
};

}  // namespace vantrel::testsupport
