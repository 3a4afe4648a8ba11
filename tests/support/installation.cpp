#include "support/installation.hpp"

#include "support/sandbox.hpp"
#include "support/text.hpp"

namespace fs = std::filesystem;

namespace {
void CopyProgram(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}
}  // namespace

void InstallLoader(const fs::path& directory) { CopyProgram(LoaderProgram(), directory / "Velmora.exe"); }

void InstallRecorderAs(const fs::path& file, const std::string& tag) {
  CopyProgram(RecorderProgram(), file);
  WriteText(file.parent_path() / "tag.txt", tag + "\n");
}

void InstallApplication(const fs::path& applicationDirectory, const std::string& tag) {
  InstallRecorderAs(applicationDirectory / "velmora.exe", tag);
}

fs::path InstallProbe(const fs::path& directory) {
  const fs::path probe = directory / ("probe" + OwnExecutablePath().extension().string());
  CopyProgram(OwnExecutablePath().parent_path() / ("platform_probe" + OwnExecutablePath().extension().string()), probe);
  return probe;
}
