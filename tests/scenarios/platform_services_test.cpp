// The loader's process and message services, run one at a time by the platform probe copied into
// a fresh folder, with the recorder standing in for whatever program they start.

#include <gtest/gtest.h>

#include <boost/filesystem/exception.hpp>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/manifest.hpp"
#include "platform/file_stream.hpp"
#include "platform/file_tree.hpp"
#include "platform/files_below.hpp"
#include "support/process.hpp"
#include "support/scene.hpp"
#include "support/text.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

namespace {
const std::string kProgramExtension = OwnExecutablePath().extension().string();

class PlatformServices : public testing::Test {
 protected:
  // Runs the probe with the scene's own folder as its current directory, which is never the probe's.
  Outcome Probe(const fs::path& probe, const Words& words) { return scene_.Start(probe, words).Wait(std::chrono::seconds(30)); }

  Scene scene_{"platform-services"};
};
}  // namespace

TEST_F(PlatformServices, ModulePathAndDirectoryOfACopiedProgram) {
  const fs::path home = scene_.tree / Utf8ToPath("probe home \xE6\xB5\x8B\xE8\xAF\x95");
  const fs::path probe = InstallProbe(home);

  const Outcome outcome = Probe(probe, {"module"});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output, PathToUtf8(probe) + "\n" + PathToUtf8(home) + "\n");
}

TEST_F(PlatformServices, StartAndWaitRunsTheProgramBareInTheModuleDirectoryUntilItEnds) {
  const fs::path home = scene_.tree / "probe home";
  const fs::path probe = InstallProbe(home);
  const fs::path program = scene_.tree / "programs" / ("started program" + kProgramExtension);
  InstallRecorderAs(program, "started");
  // The recorder finds its record file only through the environment it was given.
  SetEnvironment("VELMORA_SLEEP_MS", "700");
  // A failing program is still a program that was started and waited for.
  SetEnvironment("VELMORA_EXIT_CODE", "7");

  const Outcome outcome = Probe(probe, {"start-and-wait", PathToUtf8(program)});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output, "true\n");
  // Had the service not waited, the program would still be sleeping.
  EXPECT_TRUE(ProcessesRunning(program).empty());
  const std::vector<Record> records = scene_.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].tag, "started");
  EXPECT_EQ(records[0].program, PathToUtf8(program));
  EXPECT_EQ(records[0].workingDirectory, PathToUtf8(home));
  EXPECT_EQ(records[0].arguments, Words{});
}

TEST_F(PlatformServices, StartAndWaitReportsAMissingProgramOnStandardOutput) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  fs::create_directories(scene_.tree / "programs");

  const Outcome outcome = Probe(probe, {"start-and-wait", PathToUtf8(scene_.tree / "programs" / "missing.exe")});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output, "CreateProcess failed (2).\nfalse\n");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_TRUE(outcome.messages.empty());
  EXPECT_TRUE(scene_.Records().empty());
}

TEST_F(PlatformServices, StartAndWaitReportsAMissingFolderWithThePlatformsOwnNumber) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");

  const Outcome outcome = Probe(probe, {"start-and-wait", PathToUtf8(scene_.tree / "no folder" / "missing.exe")});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
#ifdef _WIN32
  // Windows tells a missing folder (ERROR_PATH_NOT_FOUND) from a missing file.
  EXPECT_EQ(outcome.output, "CreateProcess failed (3).\nfalse\n");
#else
  // POSIX has ENOENT for both.
  EXPECT_EQ(outcome.output, "CreateProcess failed (2).\nfalse\n");
#endif
  EXPECT_TRUE(outcome.messages.empty());
}

TEST_F(PlatformServices, ShellStartDeliversTheParametersAsTheCommandLineRulesSplitThem) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  const fs::path program = scene_.tree / "programs" / ("shell started" + kProgramExtension);
  InstallRecorderAs(program, "shell");
  const std::string parameters =
      "plain \"blanks  inside\" back\\slash \"ends in backslash\\\\\" quote\\\"d \"three\\\\\\\"q\" \"\" "
      "\xE6\xB5\x8B\xE8\xAF\x95 last";

  const Outcome outcome = Probe(probe, {"shell-start", PathToUtf8(program), parameters});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.output, "true\n");
  const std::vector<Record> records = scene_.WaitForRecords(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].tag, "shell");
  EXPECT_EQ(records[0].program, PathToUtf8(program));
  EXPECT_EQ(records[0].arguments,
            (Words{"plain", "blanks  inside", "back\\slash", "ends in backslash\\", "quote\"d", "three\\\"q", "",
                   "\xE6\xB5\x8B\xE8\xAF\x95", "last"}));
}

TEST_F(PlatformServices, ShellStartUsesTheGivenWorkingDirectoryOrKeepsTheCurrentOne) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  const fs::path program = scene_.tree / "programs" / ("shell started" + kProgramExtension);
  InstallRecorderAs(program, "shell");
  const fs::path workDirectory = scene_.tree / Utf8ToPath("work dir \xE6\xB5\x8B\xE8\xAF\x95");
  fs::create_directories(workDirectory);

  const Outcome given = Probe(probe, {"shell-start", PathToUtf8(program), "given", PathToUtf8(workDirectory)});
  ASSERT_TRUE(given.finished);
  EXPECT_EQ(given.output, "true\n");
  std::vector<Record> records = scene_.WaitForRecords(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].workingDirectory, PathToUtf8(workDirectory));
  EXPECT_EQ(records[0].arguments, Words{"given"});
  ASSERT_TRUE(WaitUntil([&] { return ProcessesRunning(program).empty(); }, std::chrono::seconds(10)));

  // Without a directory the program inherits the probe's current one, not the probe's own folder.
  const Outcome inherited = Probe(probe, {"shell-start", PathToUtf8(program)});
  ASSERT_TRUE(inherited.finished);
  EXPECT_EQ(inherited.output, "true\n");
  records = scene_.WaitForRecords(2);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].workingDirectory, PathToUtf8(scene_.out));
  EXPECT_EQ(records[1].arguments, Words{});
}

// What was held before a check is what runs: on Windows nothing can be moved over it; natively
// the move succeeds, and the start goes through the held file all the same.
TEST_F(PlatformServices, AHeldProgramIsTheOneStartedWhateverWasMovedOverIt) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  const fs::path program = scene_.tree / "update" / ("Velmora" + kProgramExtension);
  InstallRecorderAs(program, "checked");
  // The replacement records nothing: a record is the held program's.
  const fs::path replacement = InstallProbe(scene_.tree / "elsewhere");

  const Outcome outcome = Probe(probe, {"hold-start", PathToUtf8(program), PathToUtf8(replacement)});

  ASSERT_TRUE(outcome.finished);
#ifdef _WIN32
  EXPECT_EQ(outcome.output, "replace refused\nsame\nstarted true\n");
#else
  EXPECT_EQ(outcome.output, "replace done\nother\nstarted true\n");
#endif
  const std::vector<Record> records = scene_.WaitForRecords(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].tag, "checked");

  // Written in place while held: Windows refuses; natively the file is no longer as it was held.
  ASSERT_TRUE(WaitUntil([&] { return ProcessesRunning(program).empty(); }, std::chrono::seconds(10)));
  const fs::path written = scene_.tree / "written" / ("Velmora" + kProgramExtension);
  InstallRecorderAs(written, "written");
  const Outcome write = Probe(probe, {"hold-start", PathToUtf8(written), "--write"});
  ASSERT_TRUE(write.finished);
#ifdef _WIN32
  EXPECT_EQ(write.output, "replace refused\nsame\nstarted true\n");
#else
  EXPECT_EQ(write.output, "replace done\nother\nstarted true\n");
#endif
}

// What status reads of the loader's log keeps no run from writing it, and the other way round.
TEST_F(PlatformServices, TheLogIsReadWhileARunHoldsItForWriting) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  const fs::path log = scene_.tree / "data" / "Velmora.log";
  fs::create_directories(log.parent_path());
  WriteText(log, "2026-03-01T10:00:00.000Z 7 a line\n");

  const Outcome outcome = Probe(probe, {"read-log", PathToUtf8(log)});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.output, "read 34\n");
}

TEST_F(PlatformServices, ShellStartDoesNotWaitForTheProgram) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  const fs::path program = scene_.tree / "programs" / ("sleeper" + kProgramExtension);
  InstallRecorderAs(program, "sleeper");
  SetEnvironment("VELMORA_SLEEP_MS", "3000");

  const Outcome outcome = Probe(probe, {"shell-start", PathToUtf8(program)});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.output, "true\n");
  ASSERT_EQ(scene_.WaitForRecords(1).size(), 1u);
  // The probe has ended while the program still sleeps.
  const std::vector<std::uint32_t> running = ProcessesRunning(program);
  ASSERT_EQ(running.size(), 1u);
#ifndef _WIN32
  // Detached: a session of its own and no input, but the probe's output and errors, so that what
  // it reports is seen where the probe's would be.
  const fs::path streams = "/proc/" + std::to_string(running[0]) + "/fd";
  EXPECT_EQ(fs::read_symlink(streams / "0"), "/dev/null");
  EXPECT_EQ(fs::read_symlink(streams / "1").parent_path(), fs::canonical(scene_.out));
  EXPECT_EQ(fs::read_symlink(streams / "1").extension(), ".out");
  EXPECT_EQ(fs::read_symlink(streams / "2").extension(), ".err");
  EXPECT_NE(ProcessSession(running[0]), static_cast<long>(getsid(0)));
  // Nothing else of the start leaks into the program.
  // Nothing of the start leaks into the program: what it holds beyond those three it inherited
  // from this test.
  std::vector<fs::path> more;
  for (const fs::directory_entry& fd : fs::directory_iterator(streams)) {
    if (std::stoi(fd.path().filename().string()) > 2) more.push_back(fd.path().filename());
  }
  for (const fs::path& fd : more) {
    std::error_code ours;
    EXPECT_EQ(fs::read_symlink(streams / fd), fs::read_symlink("/proc/self/fd" / fd, ours)) << fd;
  }
#endif
}

TEST_F(PlatformServices, ShellStartFailsOnlyForWhatCannotBeStarted) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  fs::create_directories(scene_.tree / "programs");
  const fs::path text = scene_.tree / "programs" / "not a program.exe";
  WriteText(text, "just text\n");

  for (const fs::path& file : {scene_.tree / "programs" / "missing.exe", text}) {
    const Outcome outcome = Probe(probe, {"shell-start", PathToUtf8(file), "--ad \"x\""});
    ASSERT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.output, "false\n") << PathToUtf8(file);
    EXPECT_TRUE(outcome.messages.empty());
  }
#ifndef _WIN32
  // With the exec bit the kernel still finds no program format in it (ENOEXEC), and the shell is
  // never asked to interpret it.
  fs::permissions(text, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);
  const Outcome executableText = Probe(probe, {"shell-start", PathToUtf8(text)});
  ASSERT_TRUE(executableText.finished);
  EXPECT_EQ(executableText.output, "false\n");
  // A real program without the exec bit cannot be started either.
  const fs::path unexecutable = scene_.tree / "programs" / "no exec bit";
  InstallRecorderAs(unexecutable, "no exec bit");
  fs::permissions(unexecutable, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::remove);
  const Outcome notExecutable = Probe(probe, {"shell-start", PathToUtf8(unexecutable)});
  ASSERT_TRUE(notExecutable.finished);
  EXPECT_EQ(notExecutable.output, "false\n");
#endif
  EXPECT_TRUE(scene_.Records().empty());
}

TEST_F(PlatformServices, WaitPidReturnsOnlyOnceARunningProcessHasEnded) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  const fs::path program = scene_.tree / "programs" / ("waited for" + kProgramExtension);
  InstallRecorderAs(program, "waited for");
  SetEnvironment("VELMORA_SLEEP_MS", "2000");
  Started waitedFor = scene_.Start(program);
  ASSERT_EQ(scene_.WaitForRecords(1).size(), 1u);
  ASSERT_TRUE(ProcessAlive(waitedFor.Pid()));

  const Outcome outcome = Probe(probe, {"wait-pid", std::to_string(waitedFor.Pid())});

  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_FALSE(ProcessAlive(waitedFor.Pid()));
  EXPECT_TRUE(waitedFor.Wait(std::chrono::seconds(10)).finished);
}

TEST_F(PlatformServices, WaitPidReturnsForAnEndedProcessAndForIdsThatNameNone) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  const fs::path program = scene_.tree / "programs" / ("ended" + kProgramExtension);
  InstallRecorderAs(program, "ended");
  Started ended = scene_.Start(program);
  const std::uint32_t endedPid = ended.Pid();
  ASSERT_TRUE(ended.Wait(std::chrono::seconds(10)).finished);

  // 2147483648 and 4294967295 are negative as a POSIX pid_t: -1 would address every process.
  for (const std::string& id : {std::to_string(endedPid), std::string("0"), std::string("2147483648"),
                               std::string("4294967295")}) {
    const Outcome outcome = Probe(probe, {"wait-pid", id});
    EXPECT_TRUE(outcome.finished) << id;
    EXPECT_EQ(outcome.exitCode, 0) << id;
  }
}

TEST_F(PlatformServices, ErrorBoxShowsTheExactTextUnderTheCaptionWithOneButton) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");

  const Outcome outcome = Probe(probe, {"box", "line1\\nline2\\nline3"});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.messages, Words{"line1\nline2\nline3"});
#ifdef _WIN32
  // Read back from the box found by its caption; it returned once OK was pressed.
  EXPECT_EQ(outcome.messageButtons, std::vector<int>{1});
  EXPECT_EQ(outcome.messageIcons, std::vector<int>{0});
#else
  EXPECT_EQ(outcome.errors, "Velmora loader\nline1\nline2\nline3\n");
  EXPECT_EQ(outcome.output, "");
#endif
}

TEST_F(PlatformServices, ErrorBoxKeepsNonAsciiText) {
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  const std::string text = "directory is not exists(C:\\\xE6\xB5\x8B\xE8\xAF\x95 dir)";

  const Outcome outcome = Probe(probe, {"box", text});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.messages, Words{text});
#ifndef _WIN32
  EXPECT_EQ(outcome.errors, "Velmora loader\n" + text + "\n");
#endif
}

// In a graphical session the message also goes to a dialog, zenity's or else kdialog's, shown
// literally, and the run goes on once it has been closed. Stand-ins on PATH record their calls.
TEST_F(PlatformServices, ErrorBoxAlsoOpensADialogInAGraphicalSession) {
#ifdef _WIN32
  GTEST_SKIP() << "the box is the dialog on Windows";
#else
  const fs::path probe = InstallProbe(scene_.tree / "probe home");
  const fs::path zenity = scene_.tree / "zenity bin" / "zenity";
  const fs::path kdialog = scene_.tree / "kdialog bin" / "kdialog";
  InstallRecorderAs(zenity, "zenity");
  InstallRecorderAs(kdialog, "kdialog");
  const std::string path = std::getenv("PATH");
  SetEnvironment("PATH", zenity.parent_path().string() + ":" + kdialog.parent_path().string() + ":" + path);
  SetEnvironment("VELMORA_SLEEP_MS", "700");
  // The probe makes "\n" a line feed; the backslash before x stays.
  const std::string text = "copy failed\ndst:/a <b>b</b> &amp; \\x  two  blanks";
  const auto dialogs = [&](const char* display, const char* wayland) {
    fs::remove(scene_.record);
    display != nullptr ? SetEnvironment("DISPLAY", display) : UnsetEnvironment("DISPLAY");
    wayland != nullptr ? SetEnvironment("WAYLAND_DISPLAY", wayland) : UnsetEnvironment("WAYLAND_DISPLAY");
    const Outcome outcome = Probe(probe, {"box", "copy failed\\ndst:/a <b>b</b> &amp; \\x  two  blanks"});
    EXPECT_EQ(outcome.errors, "Velmora loader\n" + text + "\n");
    // Had the probe not waited for the dialog, the stand-in would still be running.
    EXPECT_TRUE(ProcessesRunning(zenity).empty() && ProcessesRunning(kdialog).empty());
    return scene_.Records();
  };

  std::vector<Record> shown = dialogs(":99", nullptr);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].tag, "zenity");
  EXPECT_EQ(shown[0].arguments, (Words{"--error", "--no-markup", "--title=Velmora loader", "--text=" + text}));
  EXPECT_EQ(dialogs(nullptr, "wayland-0").size(), 1u);
  EXPECT_TRUE(dialogs("", "").empty());
  EXPECT_TRUE(dialogs(nullptr, nullptr).empty());

  // kdialog takes a text for markup when it looks like markup: it gets one that is, escaped.
  fs::remove(zenity);
  shown = dialogs(":99", nullptr);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].tag, "kdialog");
  EXPECT_EQ(shown[0].arguments,
            (Words{"--title", "Velmora loader", "--error",
                   "<qt><p style=\"white-space:pre-wrap\">copy failed\ndst:/a &lt;b&gt;b&lt;/b&gt; &amp;amp; \\x  two  "
                   "blanks</p></qt>"}));
  // With neither on PATH the message is on standard error alone.
  fs::remove(kdialog);
  EXPECT_TRUE(dialogs(":99", nullptr).empty());
  SetEnvironment("PATH", path);
#endif
}

// Three runs writing at once (natively), each about 2 MiB in lines of 1 KiB, rotate the log
// several times between them: every line stays whole, the two files hold at most 1 MiB and at
// least a whole generation, and what is kept of each run ends with its last line, in order. (A
// line written to a generation that two rotations of the others have replaced since it was opened
// is lost.)
// What stands at the log's name and is not a plain file with one name is never written to.
TEST_F(PlatformServices, TheLogRotatesAtItsBoundWhileRunsWriteAtOnce) {
  const fs::path data = scene_.tree / "data";
  fs::create_directories(data);
  const fs::path log = data / "Velmora.log";
  const fs::path probe = InstallProbe(scene_.root / "probe");
  const std::vector<std::string> names = {"w0", "w1", "w2"};
  std::vector<Started> writers;
  std::vector<Outcome> outcomes;
  for (const std::string& name : names) {
    writers.push_back(scene_.Start(probe, {"log", PathToUtf8(log), name, "2000"}));
#ifdef _WIN32
    // Wine 8 does not append atomically through FILE_APPEND_DATA (docs/windows.md): one at a time.
    outcomes.push_back(writers.back().Wait());
#endif
  }
  for (std::size_t w = outcomes.size(); w < writers.size(); ++w) outcomes.push_back(writers[w].Wait());
  std::map<std::string, long> lastWritten;
  for (std::size_t w = 0; w < writers.size(); ++w) {
    const Outcome& outcome = outcomes[w];
    ASSERT_TRUE(outcome.finished);
    long written = 0;
    std::istringstream(outcome.output) >> written >> lastWritten[names[w]];
    EXPECT_EQ(written, 2000) << outcome.output;
  }
  ASSERT_TRUE(fs::exists(data / "Velmora.log.1")) << "never rotated";
  const std::uintmax_t kept = fs::file_size(log) + fs::file_size(data / "Velmora.log.1");
  EXPECT_TRUE(kept >= 256u * 1024u && kept <= 1024u * 1024u) << kept;
  std::map<std::string, std::vector<long>> found;
  for (const fs::path& file : {data / "Velmora.log.1", log}) {
    std::istringstream lines(ReadText(file));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      std::string writer, padding;
      long number = -1;
      fields >> writer >> number >> padding;
      ASSERT_TRUE(lastWritten.count(writer) == 1 && padding == std::string(1000, 'x') && fields.eof())
          << line.substr(0, 40);
      found[writer].push_back(number);
    }
  }
  ASSERT_FALSE(found.empty());
  for (const auto& [writer, numbers] : found) {
    SCOPED_TRACE(writer);
    EXPECT_EQ(numbers.back(), lastWritten[writer]);
    for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_GT(numbers[i], numbers[i - 1]);
  }

  // A folder, a link to a file elsewhere and a second name of one: refused, and left as they were.
  const fs::path elsewhere = scene_.root / "elsewhere.txt";
  // Wine 8 does not show a Unix link as a reparse point.
  for (const std::string planted : {"folder", "hard link", kProgramExtension.empty() ? "link" : "hard link"}) {
    SCOPED_TRACE(planted);
    fs::remove_all(data);
    fs::create_directories(data);
    WriteText(elsewhere, "not the log\n");
    if (planted == "folder") fs::create_directory(log);
    if (planted == "hard link") fs::create_hard_link(elsewhere, log);
    if (planted == "link") fs::create_symlink(elsewhere, log);
    const Outcome outcome = Probe(probe, {"log", PathToUtf8(log), "w", "2"});
    EXPECT_EQ(outcome.output, "0 -1\n");
    EXPECT_EQ(ReadText(elsewhere), "not the log\n");
  }
}

namespace {
// Bytes that differ from block to block, so that a hash that loses or repeats a part of a read
// cannot pass.
std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 1000) % 256);
  return bytes;
}

// What a walk visited: each entry's kind and, for a file it read, its SHA-256 and number of names.
std::map<std::string, std::string> Walked(const fs::path& root, const std::function<bool(const std::string&)>& read) {
  std::map<std::string, std::string> visited;
  const char* const kinds[] = {"folder", "file", "link", "special"};
  const boost::system::error_code error = WalkTree(root.native(), [&](const TreeEntry& entry) {
    const std::string relative = PathToUtf8(fs::path(entry.relative));
    std::string& seen = visited[relative];
    if (!entry.read) {
      seen = kinds[static_cast<int>(entry.kind)];
      return read(relative) ? WalkStep::kRead : WalkStep::kGoOn;
    }
    seen += entry.error          ? " unreadable"
            : entry.digest.special ? " special"
                                   : " " + HexOf(entry.digest.sha256) + " " + std::to_string(entry.digest.names);
    return WalkStep::kGoOn;
  });
  EXPECT_FALSE(error) << error.message();
  return visited;
}
}  // namespace

// Both digest services and the walk's reads against SHA-256 as sha256sum computed it, over sizes
// on both sides of the 64 KiB a read takes at most.
TEST_F(PlatformServices, TheDigestsAreSha256AsSha256sumComputesIt) {
  const std::vector<std::pair<std::string, const char*>> known = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {Pattern(65535), "6ef218d7be0dd6a5d52fac238800292cb18ed70fd7bee9104878452e37880dc0"},
      {Pattern(65536), "d61760aea3dede1059d7f51843ce61ade8d4480a8ad4de114b0891c8920cfced"},
      {Pattern(65537), "8c1a4fda0e4ae64059381c16b2aa3e41313607c7dbc93d2bc0bded28fe0930ab"},
      {Pattern(200000), "30d0c3e2a492845015a08737b1d4fc25bd21ae82896183cc886caa6ab8b93dd7"}};
  for (std::size_t i = 0; i < known.size(); ++i) {
    const auto& [bytes, expected] = known[i];
    SCOPED_TRACE(std::to_string(bytes.size()) + " bytes");
    const fs::path file = scene_.tree / ("kat" + std::to_string(i) + ".bin");
    WriteText(file, bytes);
    Sha256 digest{};
    EXPECT_TRUE(Sha256OfBytes(bytes, digest));
    EXPECT_EQ(HexOf(digest), expected);
    FileDigest read;
    EXPECT_FALSE(Sha256OfFile(file.native(), read));
    EXPECT_EQ(HexOf(read.sha256), expected);
    EXPECT_EQ(read.names, 1u);
    EXPECT_EQ(Walked(scene_.tree, [](const std::string&) { return true; })[PathToUtf8(file.filename())],
              std::string("file ") + expected + " 1");
  }
}

// Names come from the listing, joined below the root; a file is read only when its visit asks.
// Nothing is followed: a link, and natively a pipe, are told as such and never read;
// a second name of a file is counted through the handle that read it. Under Wine names Windows
// maps to devices or trims are the files of those very names.
TEST_F(PlatformServices, TheWalkNamesEveryEntryAsItsListingDoesAndFollowsNothing) {
  const fs::path root = scene_.tree / "root";
  fs::create_directories(root / "a" / "b");
  fs::create_directories(root / "empty");
  WriteText(root / "a" / "b" / "c.txt", "abc");
  WriteText(root / "top.txt", "");
  WriteText(scene_.root / "outside.txt", "abc");
  fs::create_hard_link(scene_.root / "outside.txt", root / "a" / "second.txt");
  std::map<std::string, std::string> expected = {
      {"a", "folder"}, {"a/b", "folder"}, {"empty", "folder"}, {"top.txt", "file"},
      {"a/b/c.txt", "file ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad 1"},
      {"a/second.txt", "file ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad 2"}};
#ifdef _WIN32
  for (const char* name : {"nul.txt", "aux.txt", "readme.", "readme ", "a:b"}) {
    // Joined as text: to the library "a:b" is a root name, which a join does not put below a folder.
    WriteTextExactly((root / "a").native() + fs::path::preferred_separator + Utf8ToPath(name).native(), "abc");
    expected[std::string("a/") + name] = "file ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad 1";
  }
  CreateFolderExactly(root / "aux");
  expected["aux"] = "folder";
#else
  fs::create_symlink("top.txt", root / "link.txt");
  fs::create_directory_symlink(scene_.root, root / "linked folder");
  ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
  expected.insert({{"link.txt", "link"}, {"linked folder", "link"}, {"pipe", "special"}});
#endif
  EXPECT_EQ(Walked(root, [](const std::string& name) { return name != "top.txt"; }), expected);
  // A link at the root is not walked.
#ifndef _WIN32
  EXPECT_TRUE(WalkTree((root / "linked folder").native(), [](const TreeEntry&) { return WalkStep::kGoOn; }));
#endif
}

// Below a held folder nothing is reached through a link: not on the way to a name, nor at the name
// itself. The documents a link points to stay as they were; a link at a name written anew or
// removed goes as the link natively (and on Windows), and under Wine, which removes a Unix link
// only by reaching what it points to, stays and refuses the call. One lies past MAX_PATH, where
// Wine cannot read a handle's final path.
TEST_F(PlatformServices, NothingBelowAHeldFolderIsReachedThroughALink) {
  const fs::path data = scene_.tree / "data", documents = scene_.tree / "documents";
  const fs::path deep = fs::path("tree") / std::string(90, 'l') / std::string(90, 'm') / std::string(90, 'n');
  fs::create_directories(documents / "inner");
  fs::create_directories(data / deep);
  WriteText(documents / "letter.txt", "dear");
  WriteText(documents / "inner" / "notes.txt", "notes");
  ASSERT_TRUE(MakeLink(documents, data / "way") && MakeLink(documents / "letter.txt", data / "state") &&
              MakeLink(documents, data / deep / "inside"));
  // What Wine leaves goes as links, before the scene's own removal could reach through them.
  const std::shared_ptr<void> unlink(nullptr, [&](void*) {
    for (const fs::path& link : {fs::path("way"), fs::path("state"), deep / "inside"}) RemoveLink(data / link);
  });
  HeldFolder held;
  PathKind kind = PathKind::kAbsent;
  ASSERT_FALSE(HoldFolder(data.native(), held, kind));
  const auto name = [](const char* relative) { return fs::path(relative).native(); };
  const auto isLink = [](const boost::system::error_code& error) {
    return error == boost::system::errc::too_many_symbolic_link_levels;
  };
  StreamedFile output;
  std::uint64_t size = 0;
  EXPECT_TRUE(isLink(MakeFoldersBelow(held, name("way/new"))));
  EXPECT_TRUE(isLink(OpenOutputBelow(held, name("way/letter.txt"), false, output, size)));
  EXPECT_TRUE(isLink(RenameBelow(held, name("way/letter.txt"), name("taken.txt"))));
  EXPECT_THROW(RemoveBelow(held, name("way/inner")), boost::filesystem::filesystem_error);
  EXPECT_TRUE(isLink(OpenOutputBelow(held, name("state"), true, output, size)));
  EXPECT_FALSE(KindBelow(held, name("way"), kind));
  EXPECT_EQ(kind, PathKind::kLink);

  // Without links: folders made on the way, a file moved over a file but never over a folder, and
  // a folder where a file is to be written anew left as it is.
  ASSERT_FALSE(MakeFoldersBelow(held, name("made/deep")));
  WriteText(data / "made" / "deep" / "a.txt", "a");
  WriteText(data / "made" / "b.txt", "b");
  EXPECT_FALSE(RenameBelow(held, name("made/deep/a.txt"), name("made/b.txt")));
  EXPECT_EQ(ReadText(data / "made" / "b.txt"), "a");
  EXPECT_TRUE(RenameBelow(held, name("made/b.txt"), name("made/deep")));
  EXPECT_TRUE(OpenOutputBelow(held, name("made"), false, output, size));
  EXPECT_EQ(ReadText(data / "made" / "b.txt"), "a");
  EXPECT_FALSE(KindBelow(held, name("made/b.txt/c"), kind));
  EXPECT_EQ(kind, PathKind::kAbsent);

  const boost::system::error_code written = OpenOutputBelow(held, name("state"), false, output, size);
  const Removal removal = RemoveBelow(held, name("tree"));
  if (UnderWine()) {
    EXPECT_TRUE(isLink(written));
    EXPECT_EQ(removal.outcome, Removed::kLinkLeft);
    EXPECT_EQ(removal.link, boost::filesystem::path((deep / "inside").native()));
  } else {
    ASSERT_FALSE(written);
    EXPECT_FALSE(WriteOutput(output, "mine", 4) || FinishOutput(output, (data / "state").native()));
    EXPECT_EQ(ReadText(data / "state"), "mine");
    EXPECT_FALSE(fs::is_symlink(data / "state"));
    EXPECT_EQ(removal.outcome, Removed::kAll);
    EXPECT_FALSE(fs::exists(fs::symlink_status(data / "tree")));
  }
  EXPECT_EQ(ReadText(documents / "letter.txt"), "dear");
  EXPECT_EQ(ReadText(documents / "inner" / "notes.txt"), "notes");
  EXPECT_EQ(std::distance(fs::directory_iterator(documents), fs::directory_iterator()), 2);
}
