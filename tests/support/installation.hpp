#pragma once
// Installations for black-box tests: the real loader and recorder programs copied into a sandbox.

#include <filesystem>
#include <string>

// Copies the loader under test to `directory`/Velmora.exe (the directory is created).
void InstallLoader(const std::filesystem::path& directory);

// Copies the recorder to `file` with a "tag.txt" beside it naming what it stands for, such as
// "app v1" (the directory is created).
void InstallRecorderAs(const std::filesystem::path& file, const std::string& tag);

// An application directory: the recorder as "velmora.exe", tagged `tag`.
void InstallApplication(const std::filesystem::path& applicationDirectory, const std::string& tag);

// The probe of the platform services, copied to `directory`; returns its path.
std::filesystem::path InstallProbe(const std::filesystem::path& directory);
