// The loader's process and message services, run one at a time by the platform probe copied into
// a fresh folder, with the recorder standing in for whatever program they start.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/apply_fixture.hpp"
#include "support/installation.hpp"
#include "support/process.hpp"
#include "support/running.hpp"
#include "support/sandbox.hpp"
#include "support/text.hpp"

#ifndef _WIN32
#include <unistd.h>

#include <fstream>
#include <sstream>
#endif

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

namespace {
const std::string kProgramExtension = OwnExecutablePath().extension().string();

class PlatformServices : public testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = NewSandbox("platform-services");
    records_ = sandbox_ / "records.txt";
    capture_ = sandbox_ / "capture";
    elsewhere_ = sandbox_ / "elsewhere";
    fs::create_directories(capture_);
    fs::create_directories(elsewhere_);
    // Else a probe showing a box could start Wine's desktop and leave it holding the sandbox.
    StartDesktop();
    SetEnvironment("VELMORA_RECORD", PathToUtf8(records_));
  }

  void TearDown() override {
    for (const fs::path& program : started_) {
      for (const std::uint32_t pid : ProcessesRunning(program)) EndProcess(pid);
      WaitUntilNotRunning(program);
    }
    UnsetEnvironment("VELMORA_RECORD");
    UnsetEnvironment("VELMORA_SLEEP_MS");
    UnsetEnvironment("VELMORA_EXIT_CODE");
    RemoveSandbox(sandbox_);
  }

  // A recorder copy that the test ends in TearDown should it still run.
  fs::path Recorder(const fs::path& file, const std::string& tag) {
    InstallRecorderAs(file, tag);
    started_.push_back(file);
    return file;
  }

  // Runs the probe with `elsewhere_` as its current directory, which is never its own.
  Outcome Probe(const fs::path& probe, const Words& words) {
    Launched launched = StartProgram(probe, words, elsewhere_, capture_);
    return WaitProgram(launched, std::chrono::seconds(30));
  }

  fs::path sandbox_;
  fs::path records_;
  fs::path capture_;
  fs::path elsewhere_;
  std::vector<fs::path> started_;
};
}  // namespace

TEST_F(PlatformServices, ModulePathAndDirectoryOfACopiedProgram) {
  const fs::path home = sandbox_ / Utf8ToPath("probe home \xE6\xB5\x8B\xE8\xAF\x95");
  const fs::path probe = InstallProbe(home);

  const Outcome outcome = Probe(probe, {"module"});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output, PathToUtf8(probe) + "\n" + PathToUtf8(home) + "\n");
}

TEST_F(PlatformServices, StartAndWaitRunsTheProgramBareInTheModuleDirectoryUntilItEnds) {
  const fs::path home = sandbox_ / "probe home";
  const fs::path probe = InstallProbe(home);
  const fs::path program = Recorder(sandbox_ / "programs" / ("started program" + kProgramExtension), "started");
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
  const std::vector<Record> records = ReadRecords(records_);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].tag, "started");
  EXPECT_EQ(records[0].program, PathToUtf8(program));
  EXPECT_EQ(records[0].workingDirectory, PathToUtf8(home));
  EXPECT_EQ(records[0].arguments, Words{});
}

TEST_F(PlatformServices, StartAndWaitReportsAMissingProgramOnStandardOutput) {
  const fs::path probe = InstallProbe(sandbox_ / "probe home");
  fs::create_directories(sandbox_ / "programs");

  const Outcome outcome = Probe(probe, {"start-and-wait", PathToUtf8(sandbox_ / "programs" / "missing.exe")});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output, "CreateProcess failed (2).\nfalse\n");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_TRUE(outcome.messages.empty());
  EXPECT_TRUE(ReadRecords(records_).empty());
}

TEST_F(PlatformServices, StartAndWaitReportsAMissingFolderWithThePlatformsOwnNumber) {
  const fs::path probe = InstallProbe(sandbox_ / "probe home");

  const Outcome outcome = Probe(probe, {"start-and-wait", PathToUtf8(sandbox_ / "no folder" / "missing.exe")});

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
  const fs::path probe = InstallProbe(sandbox_ / "probe home");
  const fs::path program = Recorder(sandbox_ / "programs" / ("shell started" + kProgramExtension), "shell");
  const std::string parameters =
      "plain \"blanks  inside\" back\\slash \"ends in backslash\\\\\" quote\\\"d \"three\\\\\\\"q\" \"\" "
      "\xE6\xB5\x8B\xE8\xAF\x95 last";

  const Outcome outcome = Probe(probe, {"shell-start", PathToUtf8(program), parameters});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.output, "true\n");
  const std::vector<Record> records = WaitForRecords(records_, 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].tag, "shell");
  EXPECT_EQ(records[0].program, PathToUtf8(program));
  EXPECT_EQ(records[0].arguments,
            (Words{"plain", "blanks  inside", "back\\slash", "ends in backslash\\", "quote\"d", "three\\\"q", "",
                   "\xE6\xB5\x8B\xE8\xAF\x95", "last"}));
}

TEST_F(PlatformServices, ShellStartUsesTheGivenWorkingDirectoryOrKeepsTheCurrentOne) {
  const fs::path probe = InstallProbe(sandbox_ / "probe home");
  const fs::path program = Recorder(sandbox_ / "programs" / ("shell started" + kProgramExtension), "shell");
  const fs::path workDirectory = sandbox_ / Utf8ToPath("work dir \xE6\xB5\x8B\xE8\xAF\x95");
  fs::create_directories(workDirectory);

  const Outcome given = Probe(probe, {"shell-start", PathToUtf8(program), "given", PathToUtf8(workDirectory)});
  ASSERT_TRUE(given.finished);
  EXPECT_EQ(given.output, "true\n");
  std::vector<Record> records = WaitForRecords(records_, 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].workingDirectory, PathToUtf8(workDirectory));
  EXPECT_EQ(records[0].arguments, Words{"given"});
  ASSERT_TRUE(WaitUntilNotRunning(program));

  // Without a directory the program inherits the probe's current one, not the probe's own folder.
  const Outcome inherited = Probe(probe, {"shell-start", PathToUtf8(program)});
  ASSERT_TRUE(inherited.finished);
  EXPECT_EQ(inherited.output, "true\n");
  records = WaitForRecords(records_, 2);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].workingDirectory, PathToUtf8(elsewhere_));
  EXPECT_EQ(records[1].arguments, Words{});
}

TEST_F(PlatformServices, ShellStartDoesNotWaitForTheProgram) {
  const fs::path probe = InstallProbe(sandbox_ / "probe home");
  const fs::path program = Recorder(sandbox_ / "programs" / ("sleeper" + kProgramExtension), "sleeper");
  SetEnvironment("VELMORA_SLEEP_MS", "3000");

  const Outcome outcome = Probe(probe, {"shell-start", PathToUtf8(program)});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.output, "true\n");
  ASSERT_EQ(WaitForRecords(records_, 1).size(), 1u);
  // The probe has ended while the program still sleeps.
  const std::vector<std::uint32_t> running = ProcessesRunning(program);
  ASSERT_EQ(running.size(), 1u);
#ifndef _WIN32
  // Detached: no standard stream of the probe's, and a session of its own.
  for (const char* stream : {"0", "1", "2"}) {
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(running[0]) + "/fd/" + stream), "/dev/null") << stream;
  }
  std::ifstream stat("/proc/" + std::to_string(running[0]) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string state;
  long parent = 0, group = 0, session = 0;
  fields >> state >> parent >> group >> session;
  EXPECT_NE(session, static_cast<long>(getsid(0)));
#endif
}

TEST_F(PlatformServices, ShellStartFailsOnlyForWhatCannotBeStarted) {
  const fs::path probe = InstallProbe(sandbox_ / "probe home");
  fs::create_directories(sandbox_ / "programs");
  const fs::path text = sandbox_ / "programs" / "not a program.exe";
  WriteText(text, "just text\n");

  for (const fs::path& file : {sandbox_ / "programs" / "missing.exe", text}) {
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
  const fs::path unexecutable = Recorder(sandbox_ / "programs" / "no exec bit", "no exec bit");
  fs::permissions(unexecutable, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::remove);
  const Outcome notExecutable = Probe(probe, {"shell-start", PathToUtf8(unexecutable)});
  ASSERT_TRUE(notExecutable.finished);
  EXPECT_EQ(notExecutable.output, "false\n");
#endif
  EXPECT_TRUE(ReadRecords(records_).empty());
}

TEST_F(PlatformServices, WaitPidReturnsOnlyOnceARunningProcessHasEnded) {
  const fs::path probe = InstallProbe(sandbox_ / "probe home");
  const fs::path program = Recorder(sandbox_ / "programs" / ("waited for" + kProgramExtension), "waited for");
  SetEnvironment("VELMORA_SLEEP_MS", "2000");
  Launched waitedFor = StartProgram(program, {}, elsewhere_, capture_);
  ASSERT_EQ(WaitForRecords(records_, 1).size(), 1u);
  ASSERT_TRUE(ProcessAlive(waitedFor.pid));

  const Outcome outcome = Probe(probe, {"wait-pid", std::to_string(waitedFor.pid)});

  EXPECT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_FALSE(ProcessAlive(waitedFor.pid));
  EXPECT_TRUE(WaitProgram(waitedFor, std::chrono::seconds(10)).finished);
}

TEST_F(PlatformServices, WaitPidReturnsForAnEndedProcessAndForIdsThatNameNone) {
  const fs::path probe = InstallProbe(sandbox_ / "probe home");
  const fs::path program = Recorder(sandbox_ / "programs" / ("ended" + kProgramExtension), "ended");
  Launched ended = StartProgram(program, {}, elsewhere_, capture_);
  ASSERT_TRUE(WaitProgram(ended, std::chrono::seconds(10)).finished);

  // 2147483648 and 4294967295 are negative as a POSIX pid_t: -1 would address every process.
  for (const std::string& id : {std::to_string(ended.pid), std::string("0"), std::string("2147483648"),
                               std::string("4294967295")}) {
    const Outcome outcome = Probe(probe, {"wait-pid", id});
    EXPECT_TRUE(outcome.finished) << id;
    EXPECT_EQ(outcome.exitCode, 0) << id;
  }
}

TEST_F(PlatformServices, ErrorBoxShowsTheExactTextUnderTheCaptionWithOneButton) {
  const fs::path probe = InstallProbe(sandbox_ / "probe home");

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
  const fs::path probe = InstallProbe(sandbox_ / "probe home");
  const std::string text = "directory is not exists(C:\\\xE6\xB5\x8B\xE8\xAF\x95 dir)";

  const Outcome outcome = Probe(probe, {"box", text});

  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.messages, Words{text});
#ifndef _WIN32
  EXPECT_EQ(outcome.errors, "Velmora loader\n" + text + "\n");
#endif
}
