#pragma once

#include <filesystem>

namespace vantrel::testsupport {

// A German locale (decimal comma) compiled into a folder of the test's own, for runs that must
// show numbers the same in every locale. Point LOCPATH at `folder()` and LC_ALL at `kName`.
// Empty folder when the C library's locale sources or localedef are missing.
class GermanLocale {
  public:
    static constexpr const char* kName = "de_DE.UTF-8";

    GermanLocale();
    ~GermanLocale();
    GermanLocale(const GermanLocale&) = delete;
    GermanLocale& operator=(const GermanLocale&) = delete;

    const std::filesystem::path& folder() const { return folder_; }

  private:
    std::filesystem::path temporary_;
    std::filesystem::path folder_;
};

}  // namespace vantrel::testsupport
