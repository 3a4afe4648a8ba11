#include <string_view>

#include "launcher/release_file.hpp"
#include "product.hpp"

ReleaseFit FitOfRelease(std::optional<std::string_view> text) {
  if (!text) return ReleaseFit::kMissing;
  const std::string_view found = *text, ours = kReleaseText;
  if (found == ours) return ReleaseFit::kOurs;
  if (found.substr(0, kReleaseTextProductPart) == ours.substr(0, kReleaseTextProductPart)) return ReleaseFit::kOtherPlatform;
  const std::size_t heading = std::string_view("velmora-release 1\nproduct ").size();
  if (found.substr(0, heading) == ours.substr(0, heading)) return ReleaseFit::kOtherProduct;
  return ReleaseFit::kMalformed;
}

const char* ReleaseFitText(ReleaseFit fit) {
  switch (fit) {
    case ReleaseFit::kOurs:
      break;
    case ReleaseFit::kMissing:
      return "no release file: it names no product";
    case ReleaseFit::kMalformed:
      return "a malformed release file";
    case ReleaseFit::kOtherProduct:
      return "a release for another product";
    case ReleaseFit::kOtherPlatform:
      return "a release for another platform";
  }
  return "";
}
