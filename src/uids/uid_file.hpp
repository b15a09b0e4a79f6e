#pragma once
// An opened UID file: its mapping and the validated view of it, owned together.

#include "common/result.hpp"
#include "dictfile/platform.hpp"
#include "uids/view.hpp"

namespace quillet::uids {

class UidFile {
 public:
  /// Opens and maps the UID file at `path` and validates it. Every failure releases what was
  /// acquired.
  [[nodiscard]] static Result<UidFile, OpenError> load(dictfile::platform::PathView path);

  UidFile(UidFile&&) noexcept = default;
  UidFile& operator=(UidFile&&) noexcept = default;

  [[nodiscard]] const View& view() const noexcept { return view_; }

 private:
  UidFile(dictfile::platform::MappedFile file, View view) noexcept : file_(std::move(file)), view_(view) {}

  dictfile::platform::MappedFile file_;
  View view_;  ///< points into file_, which never moves its bytes
};

}  // namespace quillet::uids
