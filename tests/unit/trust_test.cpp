// The pure decisions of the publisher check: what each of the system's answers about a signature
// means, which step of a signature decides, whose name passes, which version is older, and what a
// PE header says; the publisher's key records and their chain.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "launcher/key_chain.hpp"
#include "launcher/manifest.hpp"
#include "launcher/pe_header.hpp"
#include "launcher/trust.hpp"

namespace {
NativeString N(const char* ascii) { return NativeFromAscii(ascii); }

const char* const kSha256 = "2.16.840.1.101.3.4.2.1";
const Sha256 kDigest = {1, 2, 3};
const Sha256 kKey = {9}, kOtherKey = {8};
const KeyRecord kKeys{"velmora", 1, {kOtherKey, kKey}};

// A message as the system reads one the publisher signed: one signer, SHA-256, `kDigest` signed, a
// code-signing certificate of "Publisher" with a pinned key, whose chain passes with a revocation it
// could not check.
SignedMessage GoodMessage() {
  SignedMessage message;
  message.signers = 1;
  message.digestAlgorithm = kSha256;
  message.signedDigest = std::string("\x04\x20", 2) + std::string(kDigest.begin(), kDigest.end());
  message.signature.signer = N("Publisher");
  message.signature.key = kKey;
  message.signature.codeSigning = true;
  message.signature.chain.trust = 0x01000040;
  return message;
}
}  // namespace

// Only what is wrong with the files refuses; what depends on this machine, its Windows and this
// moment waits.
TEST(MeaningOfTrustAnswer, OnlyTheFilesFaultsRefuse) {
  constexpr std::uint32_t kNoSignature = 0x800B0100;
  for (const std::uint32_t refused : {0x80096010u /* bad digest */, 0x80090006u /* bad signature */,
                                      0x80096004u /* certificate's signature */, 0x800B0108u /* malformed */,
                                      0x800B010Cu /* revoked */, 0x80092010u /* revoked */,
                                      0x800B0111u /* explicit distrust */, 0x8009310Bu /* bad ASN.1 tag */,
                                      0x8009200Eu /* no signer */, 0x800B0003u /* subject form unknown */,
                                      0x8009202Bu /* no signer certificate in it: -nocerts */,
                                      0x80096011u /* malformed signature */, 0x800B0103u /* role */}) {
    EXPECT_EQ(MeaningOfTrustAnswer(refused, 0), StagingVerdict::kRefused) << std::hex << refused;
  }
  for (const std::uint32_t waits :
       {0x800B0109u /* untrusted root */, 0x800B010Au /* chaining */, 0x800B0101u /* expired */,
        0x80096005u /* time stamp */, 0x800B0112u /* untrusted CA */, 0x80092026u /* security settings */,
        0x800B0004u /* subject not trusted */, 0x80092013u /* revocation offline */,
        0x80092012u /* no revocation check */, 0x800B010Eu /* revocation failure */,
        0x800B010Du /* test root */, 0x80096001u /* system error */, 0x80092003u /* file error */,
        0x80004005u /* unforeseen */,
        // This Windows' version or this machine's policy.
        0x80090008u /* algorithm unknown */, 0x800B0105u /* unknown critical extension */,
        0x800B0110u /* usage restricted */, 0x800B0106u /* purpose restricted */,
        // A system function that cannot be loaded.
        0x8007007Eu, 0x8007007Fu}) {
    EXPECT_EQ(MeaningOfTrustAnswer(waits, 0), StagingVerdict::kNotNow) << std::hex << waits;
  }
  // "No signature" is also the answer for a file that could not be read: only the system's own
  // failures to read it wait.
  for (const std::uint32_t unreadable : {0x80070020u, 32u, 2u, 0x80092003u}) {
    EXPECT_EQ(MeaningOfTrustAnswer(kNoSignature, unreadable), StagingVerdict::kNotNow) << std::hex << unreadable;
  }
  for (const std::uint32_t unsignedReason : {kNoSignature, 0x800B0003u, 0x800B0001u, 0u, 0x80096010u}) {
    EXPECT_EQ(MeaningOfTrustAnswer(kNoSignature, unsignedReason), StagingVerdict::kRefused) << std::hex << unsignedReason;
  }
  // A certificate's signature this Windows holds weak waits; a broken one refuses.
  EXPECT_EQ(MeaningOfTrustAnswer(0x80096004, 0, 0x00100008), StagingVerdict::kNotNow);
  EXPECT_EQ(MeaningOfTrustAnswer(0x80096004, 0, 0x8), StagingVerdict::kRefused);
  EXPECT_EQ(MeaningOfTrustAnswer(0, 0, 0x01000040), StagingVerdict::kTaken);
}

TEST(VerdictOfOrigin, EachStepRefusesForItsOriginOrIntegrityOrWaits) {
  struct Row {
    OriginStep step;
    std::uint32_t status;
    StagingVerdict verdict;
    bool integrity = false;
  };
  for (const Row& row : {Row{OriginStep::kPassed, 0, StagingVerdict::kTaken},
                         Row{OriginStep::kInstalledLoader, 0x80092009, StagingVerdict::kNotNow},
                         Row{OriginStep::kManifestSignature, 0x80093102, StagingVerdict::kRefused, true},
                         Row{OriginStep::kManifestSignature, 0x80090006, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestSignature, 0x8009202B, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestSigners, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestAlgorithm, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestNoDigest, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestDigest, 0, StagingVerdict::kRefused, true},
                         Row{OriginStep::kManifestKey, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestPublisher, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestUsage, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kManifestChain, 0x800B0109, StagingVerdict::kNotNow},
                         Row{OriginStep::kManifestChain, 0x800B0101, StagingVerdict::kNotNow},
                         Row{OriginStep::kManifestChain, 0x800B010C, StagingVerdict::kRefused},
                         Row{OriginStep::kStagedLoader, 0x80096010, StagingVerdict::kRefused},
                         Row{OriginStep::kLoaderPublisher, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kLoaderUsage, 0, StagingVerdict::kRefused},
                         Row{OriginStep::kLoaderChain, 0x800B0110, StagingVerdict::kNotNow},
                         Row{OriginStep::kLoaderChain, 0x800B0111, StagingVerdict::kRefused}}) {
    OriginAnswer answer;
    answer.step = row.step;
    answer.status = row.status;
    EXPECT_EQ(VerdictOfOrigin(answer), row.verdict) << static_cast<int>(row.step) << std::hex << " " << row.status;
    EXPECT_EQ(RefusedForIntegrity(answer), row.integrity) << static_cast<int>(row.step) << std::hex << " " << row.status;
  }
}

// Each fault of a signed message is found at its own step, in order; a chain the policy passes
// passes, whatever bits it carries.
TEST(JudgeManifestSignature, TheFirstStepThatFailsDecides) {
  struct Row {
    const char* what;
    void (*change)(SignedMessage&);
    OriginStep step;
    std::uint32_t status;
  };
  for (const Row& row : {
           Row{"as signed", [](SignedMessage&) {}, OriginStep::kPassed, 0},
           Row{"not decoded", [](SignedMessage& m) { m.decoded = 0x8009310B; }, OriginStep::kManifestSignature,
               0x8009310B},
           Row{"two signers, SHA-1", [](SignedMessage& m) {
                 m.signers = 2;
                 m.digestAlgorithm = "1.3.14.3.2.26";
               },
               OriginStep::kManifestSigners, 0},
           Row{"SHA-1", [](SignedMessage& m) { m.digestAlgorithm = "1.3.14.3.2.26"; }, OriginStep::kManifestAlgorithm, 0},
           Row{"no signed attributes", [](SignedMessage& m) { m.signedDigest.clear(); }, OriginStep::kManifestNoDigest,
               0},
           Row{"another content, the signature broken too",
               [](SignedMessage& m) {
                 m.signedDigest.back() = 9;
                 m.signature.status = 0x80091007;
               },
               OriginStep::kManifestDigest, 0},
           Row{"no certificate", [](SignedMessage& m) {
                 m.signature = {};
                 m.signature.status = 0x8009202B;
               },
               OriginStep::kManifestSignature, 0x8009202B},
           // The publisher's name under any root, even a trusted one, with a key no record pins.
           Row{"an unpinned key", [](SignedMessage& m) { m.signature.key = Sha256{}; }, OriginStep::kManifestKey, 0},
           Row{"an unpinned key, another name, an untrusted root", [](SignedMessage& m) {
                 m.signature.key.reset();
                 m.signature.signer = N("Other");
                 m.signature.chain.policy = 0x800B0109;
               }, OriginStep::kManifestKey, 0},
           Row{"another name, not for code", [](SignedMessage& m) {
                 m.signature.signer = N("publisher");
                 m.signature.codeSigning = false;
               }, OriginStep::kManifestPublisher, 0},
           Row{"not for code", [](SignedMessage& m) { m.signature.codeSigning = false; }, OriginStep::kManifestUsage, 0},
           Row{"untrusted root", [](SignedMessage& m) { m.signature.chain.policy = 0x800B0109; },
               OriginStep::kManifestChain, 0x800B0109}}) {
    SignedMessage message = GoodMessage();
    row.change(message);
    const OriginAnswer answer = JudgeManifestSignature(message, kDigest, N("Publisher"), kKeys);
    EXPECT_EQ(answer.step, row.step) << row.what;
    EXPECT_EQ(answer.status, row.status) << row.what;
    EXPECT_EQ(answer.reason, 0u) << row.what;
    EXPECT_TRUE(answer.publisher == N("Publisher")) << row.what;
  }
  const OriginAnswer passed = JudgeManifestSignature(GoodMessage(), kDigest, N("Publisher"), kKeys);
  EXPECT_EQ(passed.trust, 0x01000040u);
  EXPECT_EQ(VerdictOfOrigin(passed), StagingVerdict::kTaken);
}

TEST(JudgeLoaderSignature, TheSystemsAnswerThenNameUseAndChain) {
  SignatureAnswer loader;
  loader.signer = N("Publisher");
  loader.codeSigning = true;
  EXPECT_EQ(JudgeLoaderSignature(loader, N("Publisher")).step, OriginStep::kPassed);
  EXPECT_EQ(JudgeLoaderSignature(loader, N("Other")).step, OriginStep::kLoaderPublisher);
  loader.chain.policy = 0x800B0110;
  const OriginAnswer restricted = JudgeLoaderSignature(loader, N("Publisher"));
  EXPECT_EQ(restricted.step, OriginStep::kLoaderChain);
  EXPECT_EQ(VerdictOfOrigin(restricted), StagingVerdict::kNotNow);
  loader.codeSigning = false;
  EXPECT_EQ(JudgeLoaderSignature(loader, N("Publisher")).step, OriginStep::kLoaderUsage);
  SignatureAnswer unreadable;
  unreadable.status = 0x800B0100;
  unreadable.reason = 0x80070020;
  const OriginAnswer held = JudgeLoaderSignature(unreadable, N("Publisher"));
  EXPECT_EQ(held.step, OriginStep::kStagedLoader);
  EXPECT_EQ(held.reason, 0x80070020u);
  EXPECT_EQ(VerdictOfOrigin(held), StagingVerdict::kNotNow);
}

TEST(AcceptedPublisher, TheInstallationsNameOrAnAcceptedOneExactly) {
  const std::vector<NativeString> accepted = {N("Renamed Vendor")};
  EXPECT_TRUE(AcceptedPublisher(N("Vendor"), N("Vendor"), {}));
  EXPECT_TRUE(AcceptedPublisher(N("Renamed Vendor"), N("Vendor"), accepted));
  EXPECT_FALSE(AcceptedPublisher(N("vendor"), N("Vendor"), accepted));
  EXPECT_FALSE(AcceptedPublisher(N("Vendor "), N("Vendor"), accepted));
  EXPECT_FALSE(AcceptedPublisher(N("Renamed Vendor"), N("Vendor"), {}));
}

TEST(OlderThanInstalled, AMissingRecordIsOlderThanAnyRecord) {
  EXPECT_TRUE(OlderThanInstalled(5, 4));
  EXPECT_FALSE(OlderThanInstalled(5, 5));
  EXPECT_FALSE(OlderThanInstalled(5, 6));
  EXPECT_TRUE(OlderThanInstalled(5, std::nullopt));
  EXPECT_FALSE(OlderThanInstalled(std::nullopt, 4));
  EXPECT_FALSE(OlderThanInstalled(std::nullopt, std::nullopt));
}

TEST(SignedSha256, OnlyAnOctetStringOfADigestsLength) {
  const std::string digest(32, '\x7f');
  EXPECT_TRUE(SignedSha256("\x04\x20" + digest));
  EXPECT_EQ((*SignedSha256("\x04\x20" + digest))[31], 0x7f);
  EXPECT_FALSE(SignedSha256("\x05\x20" + digest));
  EXPECT_FALSE(SignedSha256("\x04\x14" + digest.substr(12)));
  EXPECT_FALSE(SignedSha256("\x04\x20" + digest + "x"));
}

TEST(CarriesCertificateTable, OnlyAWholeHeaderSaysUnsigned) {
  // A PE header at 0x80 of `magic`, naming `directories` data directories, the fifth (the
  // certificate table) `size` bytes long.
  const auto header = [](unsigned magic, unsigned directories, unsigned size) {
    std::string bytes(0x200, '\0');
    const auto put = [&bytes](std::size_t at, unsigned value, int count) {
      for (int i = 0; i < count; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    put(0, 'M' | ('Z' << 8), 2);
    put(0x3C, 0x80, 4);
    put(0x80, 'P' | ('E' << 8), 4);
    const std::size_t optional = 0x80 + 24;
    const std::size_t count = optional + (magic == 0x20B ? 108 : 92);
    put(optional, magic, 2);
    put(count, directories, 4);
    put(count + 4 + 4 * 8 + 4, size, 4);
    return bytes;
  };
  EXPECT_EQ(CarriesCertificateTable(header(0x20B, 16, 0x1c48)), true);
  EXPECT_EQ(CarriesCertificateTable(header(0x10B, 16, 0x1c48)), true);
  EXPECT_EQ(CarriesCertificateTable(header(0x20B, 16, 0)), false);
  EXPECT_EQ(CarriesCertificateTable(header(0x20B, 4, 0x1c48)), false);
  EXPECT_EQ(CarriesCertificateTable(header(0x30B, 16, 0x1c48)), std::nullopt);
  EXPECT_EQ(CarriesCertificateTable(header(0x20B, 16, 0x1c48).substr(0, 0x80 + 24 + 140)), std::nullopt);
  std::string noPe = header(0x20B, 16, 0x1c48);
  noPe[0x81] = 'X';
  EXPECT_EQ(CarriesCertificateTable(noPe), std::nullopt);
  std::string farOut = header(0x20B, 16, 0x1c48);
  farOut[0x3F] = '\x7f';
  EXPECT_EQ(CarriesCertificateTable(farOut), std::nullopt);
  EXPECT_EQ(CarriesCertificateTable("MZ"), std::nullopt);
}

TEST(ParseKeyRecord, OneToSixteenKeysEachOnceAndNothingElse) {
  const std::string text = KeyRecordText(kKeys);
  const auto record = ParseKeyRecord(text);
  ASSERT_TRUE(record);
  EXPECT_EQ(KeyRecordText(*record), text);
  EXPECT_TRUE(PinsKey(*record, kKey));
  EXPECT_FALSE(PinsKey(*record, Sha256{}));
  EXPECT_FALSE(PinsKey(*record, std::nullopt));
  const std::string key = "key " + HexOf(kKey) + "\n";
  std::string sixteen = "velmora-keys 1\nproduct velmora\nversion 2147483648\n";
  for (int i = 0; i < 16; ++i) sixteen += "key " + HexOf(Sha256{static_cast<std::uint8_t>(i)}) + "\n";
  EXPECT_TRUE(ParseKeyRecord(sixteen));
  for (const std::string& bad :
       {std::string("velmora-keys 1\nproduct velmora\nversion 1\n"), text + key, sixteen + "key " + std::string(64, 'f') + "\n",
        "velmora-keys 2" + text.substr(14), text.substr(0, text.size() - 1), text + "\n", text + "comment x\n",
        "velmora-keys 1\nproduct Velmora\nversion 1\n" + key, "velmora-keys 1\nproduct velmora\nversion 0\n" + key,
        "velmora-keys 1\nproduct velmora\nversion 01\n" + key, "velmora-keys 1\nproduct velmora\nversion 2147483649\n" + key,
        "velmora-keys 1\nversion 1\nproduct velmora\n" + key, "velmora-keys 1\nproduct velmora\nversion 1\nkey " +
        std::string(64, 'A') + "\n", "velmora-keys 1\r\nproduct velmora\r\nversion 1\r\n" + key}) {
    EXPECT_FALSE(ParseKeyRecord(bad)) << bad;
  }
}

// A record kept as the system would hand it back: here the file holds the signer's key and the
// record's text, and the fake verification reads them so; the chain is the real one.
TEST(CurrentKeyRecord, TheUnbrokenChainOfRecordsEachSignedByAKeyOfTheOneBefore) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("velmora-keys-" + std::to_string(std::random_device()()));
  std::filesystem::create_directories(folder);
  const auto keep = [&](std::uint32_t version, const Sha256& signer, const KeyRecord& record) {
    std::ofstream(folder / (std::to_string(version) + ".keys"), std::ios::binary)
        << std::string(signer.begin(), signer.end()) << KeyRecordText(record);
  };
  const VerifySigned verify = [](const std::string& bytes) {
    SignedMessage message = GoodMessage();
    message.content = bytes.substr(32);
    Sha256 digest{};
    Sha256OfBytes(message.content, digest);
    message.signedDigest = std::string("\x04\x20", 2) + std::string(digest.begin(), digest.end());
    std::copy_n(bytes.begin(), 32, message.signature.key.emplace().begin());
    return message;
  };
  const auto current = [&] { return CurrentKeyRecord(kKeys, boost::filesystem::path(folder.native()), verify); };
  const Sha256 kNew = {7}, kNewer = {6};
  EXPECT_EQ(current().version, 1u);  // nothing kept
  // Version 3 beside no version 2: a skipped version is no chain.
  keep(3, kKey, {"velmora", 3, {kNew}});
  EXPECT_EQ(current().version, 1u);
  // Signed by its own new key rather than one of the record before it.
  keep(2, kNew, {"velmora", 2, {kNew}});
  EXPECT_EQ(current().version, 1u);
  keep(2, kKey, {"other", 2, {kNew}});  // another product's
  EXPECT_EQ(current().version, 1u);
  keep(2, kKey, {"velmora", 4, {kNew}});  // a record of another version under this name
  EXPECT_EQ(current().version, 1u);
  // Version 2 drops both keys of version 1 for the new one; the version 3 kept, signed by a dropped
  // key, ends the chain there.
  keep(2, kOtherKey, {"velmora", 2, {kNew}});
  const KeyRecord two = current();
  EXPECT_EQ(two.version, 2u);
  EXPECT_TRUE(PinsKey(two, kNew));
  EXPECT_FALSE(PinsKey(two, kKey));
  keep(3, kNew, {"velmora", 3, {kNewer, kNew}});
  EXPECT_EQ(current().version, 3u);
  EXPECT_TRUE(PinsKey(current(), kNewer));
  std::filesystem::remove_all(folder);
}
