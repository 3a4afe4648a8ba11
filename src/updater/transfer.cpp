#include "updater/run.hpp"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <vector>

#include "launcher/layout.hpp"
#include "launcher/manifest.hpp"
#include "launcher/run_log.hpp"
#include "platform/digest.hpp"
#include "platform/file_ops.hpp"
#include "platform/file_stream.hpp"
#include "platform/files_below.hpp"
#include "updater/exit_codes.hpp"
#include "updater/paths.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

std::string Where(const Run& run, const std::string& relative) {
  return run.base.empty() ? LogText((fs::path(run.options.from) / fs::path(relative)).make_preferred())
                          : run.base + "/" + relative;
}

// `relative` (e.g. "objects/<sha256>") of the tree, its body passed to `body` up to `cap` bytes. A
// folder answers as a server that ignores ranges and validators.
Got Request(Run& run, const std::string& relative, HttpRequest request, std::uint64_t cap, const Body& body) {
  Got got;
  // A stall is cut by the transport; a server that trickles a byte now and then, of its headers or
  // its body, is cut at this deadline, so that no answer holds the run (and the updater's lock) for
  // longer than a slow line would take.
  constexpr std::uint64_t kSlowestBytesPerSecond = 4096;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1) +
                        std::chrono::seconds(cap / kSlowestBytesPerSecond);
  // `cap` is the whole object's size: a resumed answer brings the rest of it only.
  const auto take = [&](const char* bytes, std::size_t size) {
    if (std::chrono::steady_clock::now() > deadline) {
      got.tooSlow = true;
      return false;
    }
    got.received += size;
    run.report.bytesFetched += size;
    if (got.received > (got.meaning == HttpMeaning::kResumed ? cap - request.resumeFrom : cap)) {
      got.tooLong = true;
      return false;
    }
    return body(got.meaning, bytes, size);
  };
  if (!run.options.from.empty()) {
    StreamedFile input;
    std::uint64_t size = 0;
    got.error = OpenInput((fs::path(run.options.from) / fs::path(relative)).native(), input, size);
    if (got.error && got.error == boost::system::errc::no_such_file_or_directory) {
      got.error.clear();
      got.meaning = HttpMeaning::kMissing;
      return got;
    }
    if (got.error) return got;
    got.meaning = HttpMeaning::kBody;
    got.answer.status = 200;
    std::vector<char> buffer(kChunk);
    for (;;) {
      std::size_t count = 0;
      got.error = ReadInput(input, buffer.data(), buffer.size(), count);
      got.answer.ended = !got.error && count == 0;
      if (got.error || count == 0 || !take(buffer.data(), count)) break;
    }
    return got;
  }
  request.url = run.base + "/" + relative;
  ++run.report.requests;
  HttpLimits limits;
  limits.stall = std::chrono::seconds(run.options.stallSeconds);
  limits.deadline = deadline;
  bool wanted = false;
  got.error = HttpGet(request, limits,
                      [&](const char* bytes, std::size_t size) {
                        if (!wanted) {
                          got.meaning = MeaningOfHttpAnswer(got.answer.status, request.resumeFrom,
                                                            got.answer.contentRange);
                          // An error page is not read: its status says all; nor are bytes of another
                          // range or in an encoding not asked for.
                          if (got.meaning != HttpMeaning::kBody && got.meaning != HttpMeaning::kResumed) return false;
                          if (DeliveryOf(got.meaning, got.answer.contentEncoding, false, 0, 0) == Delivery::kEncoded) {
                            return false;
                          }
                          wanted = true;
                        }
                        return take(bytes, size);
                      },
                      got.answer);
  got.meaning = MeaningOfHttpAnswer(got.answer.status, request.resumeFrom, got.answer.contentRange);
  if (got.error && StoppedByBody(got.error) && (got.tooLong || !wanted)) got.error.clear();
  if (got.error && !StoppedByBody(got.error) && std::chrono::steady_clock::now() >= deadline) got.tooSlow = true;
  if (got.tooSlow) got.error = make_error_code(boost::system::errc::timed_out);
  return got;
}

Delivery DeliveryOfObject(const Got& got, std::uint64_t resumeFrom, std::uint64_t size) {
  const std::uint64_t expected = got.meaning == HttpMeaning::kResumed ? size - resumeFrom : size;
  return DeliveryOf(got.meaning, got.answer.contentEncoding, !got.error && got.answer.ended, got.received, expected);
}

namespace {
// "HTTP 206, Content-Range bytes 0-99/200, 100 bytes received, 150 expected".
std::string DamageText(const Got& got, Delivery delivery, std::uint64_t expected) {
  std::string text = "HTTP " + std::to_string(got.answer.status);
  if (delivery == Delivery::kShort) text += ", ended short";
  if (delivery == Delivery::kLong) text += ", longer than signed";
  if (delivery == Delivery::kEncoded) text += ", Content-Encoding " + got.answer.contentEncoding;
  if (delivery == Delivery::kMisranged) {
    text += ", Content-Range " + (got.answer.contentRange.empty() ? std::string("none") : got.answer.contentRange);
  }
  return text + ", " + std::to_string(got.received) + " bytes received, " + std::to_string(expected) + " expected";
}

// A damaged copy is fetched whole once more; the second one refuses the release, which is not
// remembered: the vendor may upload the object again.
void OnDamagedCopy(const Run& run, const std::string& relative, const Got& got, Delivery delivery,
                   std::uint64_t expected, int attempt) {
  const std::string detail = DamageText(got, delivery, expected);
  if (attempt == 1) {
    LogLine(Where(run, relative) + " is a damaged copy (" + detail + "): fetching it whole again");
    return;
  }
  Fail(kUpdateReleaseRefused, "release refused",
       "release refused: the server's copy of " + Where(run, relative) + " is damaged, fetched twice: " + detail);
}
}  // namespace

std::string AnswerText(const Got& got) {
  if (got.tooSlow) return "the answer came too slowly";
  if (RedirectedToPlainHttp(got.error)) return "redirected from https to http";
  if (got.error) return got.error.category().name() + std::string(" error ") + std::to_string(got.error.value());
  if (got.answer.status == 0) return "no answer";
  return "HTTP " + std::to_string(got.answer.status);
}

[[noreturn]] void FailFetching(const Run& run, const std::string& relative, const Got& got) {
  Fail(kUpdateNetwork, "network", "could not fetch " + Where(run, relative) + ": " + AnswerText(got));
}

// A file of the release folder, whole, held to what the feed pinned: fetched again once when it
// does not match.
std::string FetchPinned(Run& run, const std::string& relative, const PinnedFile& pinned) {
  for (int attempt = 1;; ++attempt) {
    std::string bytes;
    const Got got = Request(run, relative, {}, pinned.size, [&](HttpMeaning, const char* data, std::size_t size) {
      bytes.append(data, size);
      return true;
    });
    const bool carried = got.meaning == HttpMeaning::kBody || got.meaning == HttpMeaning::kMisranged;
    const Delivery delivery = carried ? DeliveryOfObject(got, 0, pinned.size) : Delivery::kCut;
    if (DamagedCopy(delivery)) {
      OnDamagedCopy(run, relative, got, delivery, pinned.size, attempt);
      continue;
    }
    if (got.error || delivery != Delivery::kWhole) FailFetching(run, relative, got);
    Sha256 digest{};
    if (Sha256OfBytes(bytes, digest) && HexOf(digest) == pinned.sha256) return bytes;
    LogLine(Where(run, relative) + " does not match what the feed signed" + (attempt == 1 ? ": fetching it again" : ""));
    if (attempt == 2) {
      Fail(kUpdateReleaseRefused, "release refused",
           "release refused: " + Where(run, relative) + " does not match what the feed signed, fetched twice");
    }
  }
}

namespace {
// The first `have` bytes of the partial download at `partial` into `hash`, read back from the disk.
error_code HashKeptPart(const fs::path& partial, std::uint64_t have, const Sha256Stream& hash) {
  StreamedFile input;
  std::uint64_t ignored = 0;
  std::vector<char> buffer(kChunk);
  std::uint64_t read = 0;
  error_code error = OpenInput(partial.native(), input, ignored);
  while (!error && read < have) {
    std::size_t count = 0;
    error = ReadInput(input, buffer.data(), buffer.size(), count);
    if (!error && count == 0) error = make_error_code(boost::system::errc::io_error);
    const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(count, have - read));
    AddToSha256(hash, buffer.data(), taken);
    read += taken;
  }
  return error;
}

// Whether the answer to a download asks for the object anew, whole: its kept part refused (416),
// or the server's damaged copy, the first time (the second refuses the release). The bytes of an
// answer cut before its end stay for the next run, which stops here as the network's failure. For
// any of those `output`, the partial download at `partial`, is closed; otherwise the bytes are
// judged by their digest.
bool FetchAgain(const Run& run, const std::string& relative, Got& got, const fs::path& partial, StreamedFile& output,
                std::uint64_t kept, std::uint64_t size, std::uint64_t written, int attempt) {
  if (got.meaning == HttpMeaning::kRangeRefused) {
    LogLine(Where(run, relative) + ": the part kept is refused (" + AnswerText(got) + "): fetching it anew");
    output.reset();
    RemoveInData(run, partial);
    if (attempt == 2) FailFetching(run, relative, got);
    return true;
  }
  const bool carried = got.meaning == HttpMeaning::kBody || got.meaning == HttpMeaning::kResumed ||
                       got.meaning == HttpMeaning::kMisranged;
  const Delivery delivery = carried ? DeliveryOfObject(got, kept, size) : Delivery::kCut;
  if (DamagedCopy(delivery)) {
    // The server's copy, not the network: the part kept goes, and the object is asked for whole.
    output.reset();
    RemoveInData(run, partial);
    if (attempt == 2) ForgetDownloads(run);
    OnDamagedCopy(run, relative, got, delivery, got.meaning == HttpMeaning::kResumed ? size - kept : size, attempt);
    return true;
  }
  // A body that ended with its connection short of its size is kept as well.
  if (delivery == Delivery::kCut) {
    if (!got.error && carried) got.error = make_error_code(boost::system::errc::connection_aborted);
    output.reset();
    const std::string message = "could not fetch " + Where(run, relative) + ": " + AnswerText(got);
    LogLine(message + "; " + std::to_string(written) + " of " + std::to_string(size) + " bytes kept for the next run");
    throw Stop{kUpdateNetwork, "network", message};
  }
  return false;
}
}  // namespace

// The object of `digest` into `target`: resumed from the partial download kept for it, streamed
// through SHA-256, held to `size`; fetched anew once when it does not match.
void Download(Run& run, const std::string& digest, std::uint64_t size, const fs::path& target,
              const std::function<void(std::uint64_t)>& progress) {
  const std::string relative = "objects/" + digest;
  const fs::path partial = PartialObject(run.data, digest);
  error_code error;
  OwnFolder(run, run.partial);
  // One partial download at a time: another object's is of a release no longer wanted.
  for (const FoundFile& other : FilesBelow(run.partial)) {
    if (other.path != partial.filename().native()) RemoveInData(run, run.partial / fs::path(other.path));
  }
  for (int attempt = 1;; ++attempt) {
    StreamedFile output;
    std::uint64_t have = 0;
    Sha256Stream hash;
    // Begins the partial download anew, empty; the failure to, where there is one.
    const auto begin = [&] {
      output.reset();
      have = 0;
      hash = BeginSha256();
      return OpenOutputBelow(run.dataFolder, InData(run, partial), false, output, have);
    };
    error = OpenOutputBelow(run.dataFolder, InData(run, partial), true, output, have);
    if (!error && have > 0 && have <= size) {
      hash = BeginSha256();
      error = HashKeptPart(partial, have, hash);
    }
    if (error || have == 0 || have > size) error = begin();
    if (error) FailLocally("could not write " + LogText(partial), error);
    const std::uint64_t kept = have;
    std::uint64_t written = have;
    error_code writing;
    Got got;
    if (have < size) {
      HttpRequest request;
      request.resumeFrom = have;
      bool began = false;
      // Nothing is thrown from here: the transfer is stopped and the failure said after it.
      got = Request(run, relative, request, size, [&](HttpMeaning meaning, const char* bytes, std::size_t count) {
        if (!began) {
          began = true;
          // A server that ignores the range sends the whole object again.
          if (meaning == HttpMeaning::kBody && have > 0) {
            writing = begin();
            written = 0;
          }
        }
        if (!writing) {
          AddToSha256(hash, bytes, count);
          writing = WriteOutput(output, bytes, count);
        }
        if (writing) return false;
        written += count;
        progress(count);
        return true;
      });
      if (writing) {
        output.reset();
        FailLocally("could not write " + LogText(partial), writing);
      }
      if (FetchAgain(run, relative, got, partial, output, kept, size, written, attempt)) continue;
    }
    Sha256 result{};
    const bool whole = written == size && FinishSha256(hash, result) && HexOf(result) == digest;
    if (whole) {
      error = FinishOutput(output, partial.native());
      if (!error) error = MakeFoldersBelow(run.dataFolder, InData(run, target.parent_path()));
      if (!error) {
        error = RetriedInData("moved " + LogText(partial) + " to " + LogText(target),
                              [&] { return RenameBelow(run.dataFolder, InData(run, partial), InData(run, target)); });
      }
      if (error) FailLocally("could not move " + LogText(partial) + " to " + LogText(target), error);
      LogLine("fetched " + Where(run, relative) + " (" + std::to_string(size) + " bytes" +
              (kept > 0 && got.meaning == HttpMeaning::kResumed ? ", resumed at " + std::to_string(kept) : std::string()) +
              ")");
      return;
    }
    output.reset();
    RemoveInData(run, partial);
    LogLine(Where(run, relative) + " does not match its digest" + (attempt == 1 ? ": fetching it again" : ""));
    if (attempt == 2) {
      ForgetDownloads(run);
      Fail(kUpdateReleaseRefused, "release refused",
           "release refused: " + Where(run, relative) + " does not match what its release signed, fetched twice");
    }
  }
}

