#include "dictfile/load_error.hpp"

namespace quillet::dictfile {

std::string LoadError::message() const {
  switch (kind) {
    case Kind::Io:
      return "io error: " + io.detail();
    case Kind::TooSmall:
      return "file too small (" + std::to_string(size) + " bytes) to contain a header";
    case Kind::BadMagic:
      return "bad magic bytes [" + std::to_string(magic[0]) + ", " + std::to_string(magic[1]) + ", " +
             std::to_string(magic[2]) + ", " + std::to_string(magic[3]) + "]";
    case Kind::UnsupportedVersion:
      return "unsupported version " + std::to_string(version);
    case Kind::Integrity:
      return "archive integrity check failed: " + failure;
  }
  return "unknown load error";
}

}  // namespace quillet::dictfile
