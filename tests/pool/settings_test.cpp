#include "pool/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "pool/hex.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/thrown_text.h"
#include "tests/support/whole_file.h"

namespace {

std::string HexRefusal(const std::string& text) {
  return ThrownText<std::invalid_argument>([&] { ParseHex32(text); });
}

// A scratch settings folder; the settings files this process locked in it are closed first.
class TempSettingsFolder : public TestDirectory {
 public:
  ~TempSettingsFolder() {
    SettingsFilesInstance().CacheFile.reset();
    SettingsFilesInstance().WorkerIdFile.reset();
  }
};

}  // namespace

TEST(Hex32, DigitsLengthsAndRefusals) {
  const std::string digits = "000102030405060708090a0b0c0d0e0f101112131415161718191A1B1C1D1E1F";
  const std::array<uint8_t, 32> bytes = ParseHex32(digits);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(bytes[i], i);
  // What follows the 64 digits ends the value unless it is a letter or a digit.
  EXPECT_EQ(ParseHex32(digits + " trailing"), bytes);
  EXPECT_EQ(ParseHex32(digits + "-"), bytes);

  EXPECT_EQ(HexRefusal(digits.substr(0, 63)), "Hex value too short");
  EXPECT_EQ(HexRefusal(""), "Hex value too short");
  EXPECT_EQ(HexRefusal(digits.substr(0, 10) + " " + digits.substr(11)), "Hex value too short");
  EXPECT_EQ(HexRefusal(digits.substr(0, 10) + "\t" + digits.substr(11)), "Hex value too short");
  EXPECT_EQ(HexRefusal(digits.substr(0, 10) + "g" + digits.substr(11)), "Invalid hex character");
  EXPECT_EQ(HexRefusal("0x" + digits.substr(2)), "Invalid hex character");
  EXPECT_EQ(HexRefusal(digits + "0"), "Hex value too long");
  EXPECT_EQ(HexRefusal(digits + "z"), "Hex value too long");

  uint8_t eight[8];
  ParseHexBytes("0123456789abcdef\n", eight, 8);
  EXPECT_EQ(eight[0], 0x01);
  EXPECT_EQ(eight[7], 0xEF);
}

TEST(Settings, WorkerIdIsCreatedKeptAndReplacedWhenInvalid) {
  TempSettingsFolder temp;
  const std::filesystem::path folder = temp.Path() / "nested" / "settings";
  LoadSettings(folder);
  EXPECT_TRUE(std::filesystem::exists(folder / "cache"));
  const std::string stored = ReadTextFile(folder / "workerid");
  ASSERT_EQ(stored.size(), 16u);
  // Byte 0 of the id in memory order comes first.
  uint64_t fromFile = 0;
  ParseHexBytes(stored, reinterpret_cast<uint8_t*>(&fromFile), 8);
  EXPECT_EQ(fromFile, WorkerId);
  EXPECT_EQ(stored.find_first_not_of("0123456789abcdef"), std::string::npos);

  // A second load keeps the stored id.
  const uint64_t first = WorkerId;
  WorkerId = 0;
  LoadSettings(folder);
  EXPECT_EQ(WorkerId, first);

  // A known id in upper case with a line feed is accepted as written.
  WriteWholeFile<std::string>(folder / "workerid", "0100000000000080\n");
  LoadSettings(folder);
  EXPECT_EQ(WorkerId, 0x8000000000000001u);
  EXPECT_EQ(ReadTextFile(folder / "workerid"), "0100000000000080\n");

  // Invalid ids are replaced by a new random one, written back without a tail.
  for (const char* bad : {"0100000000000080g", "01000000000000800", "01234", "", "zz"}) {
    SCOPED_TRACE(bad);
    WriteWholeFile<std::string>(folder / "workerid", std::string(bad) + "                        ");
    LoadSettings(folder);
    const std::string rewritten = ReadTextFile(folder / "workerid");
    ASSERT_EQ(rewritten.size(), 16u);
    uint64_t id = 0;
    ParseHexBytes(rewritten, reinterpret_cast<uint8_t*>(&id), 8);
    EXPECT_EQ(id, WorkerId);
  }
}

TEST(Settings, SecondInstanceIsRefused) {
  TempSettingsFolder temp;
  LoadSettings(temp.Path());
  // Locks belong to a process: only another process is refused.
  const std::string expected = "Failed to lock file \"" + (temp.Path() / "cache").string() +
                               "\": Another instance of the program may be running";
  EXPECT_EQ(RunInChild([&] {
              return ThrownText<std::runtime_error>([&] { LoadSettings(temp.Path()); }) == expected
                         ? 0
                         : 11;
            }),
            0);

  // A folder that cannot be created is an error for the caller.
  WriteWholeFile<std::string>(temp.Path() / "plain-file", "x");
  EXPECT_THROW(LoadSettings(temp.Path() / "plain-file" / "settings"), std::runtime_error);
}

TEST(SettingsCache, WrittenAsLaidOutReadBackAndRewrittenInPlace) {
  TempSettingsFolder temp;
  LoadSettings(temp.Path());
  std::filesystem::create_hard_link(temp / "cache", temp / "same-file");
  SettingsCache& cache = SettingsCacheInstance();
  const SettingsCache full{{"192.0.2.7", "2001:db8::1"},
                           {0xA0, 0xA1},
                           -5,
                           {0x12, 0x34},
                           {{18446744073709551615u, {1700000000, {"192.0.2.9"}}}, {7, {-1, {}}}}};
  const std::string written =
      "2 2 a0a1" + std::string(28, '0') + " -5 1234" + std::string(60, '0') +
      "\n192.0.2.7\n2001:db8::1\n2\n7 -1 0\n18446744073709551615 1700000000 1\n192.0.2.9\n";
  cache = full;
  SaveCache();
  EXPECT_EQ(ReadTextFile(temp / "cache"), written);
  cache = SettingsCache();  // a shorter text leaves no tail
  SaveCache();
  EXPECT_EQ(ReadTextFile(temp / "same-file").size(), 106u);
  // The worker id is written only when it changes.
  cache = full;
  WriteWholeFile<std::string>(temp / "workerid", "kept");
  SaveCache();
  EXPECT_EQ(ReadTextFile(temp / "workerid"), "kept");
  WorkerId = 0x0123456789abcdefu;
  SaveCache();
  EXPECT_EQ(ReadTextFile(temp / "workerid"), "efcdab8967452301");
  LoadSettings(temp.Path());
  EXPECT_EQ(FormatCacheText(SettingsCacheInstance()), written);
}

TEST(SettingsCache, TakenAsFarAsItParses) {
  const std::string token(32, 'b'), plot(64, 'd'), head = "2 1 " + token + " 9 " + plot + "\n";
  const std::string none = "2 0 " + std::string(32, '0') + " 0 " + std::string(64, '0') + "\n0\n";
  const std::string kept = "2 0 " + token + " 9 " + plot + "\n0\n";
  for (const auto& [text, taken] : std::vector<std::pair<std::string, std::string>>{
           {"", none},
           {"2 x " + token + " 9 " + plot, none},
           {"2 1 " + token + "0 9 " + plot, none},
           {"1 1 " + token + " 9 " + plot + "\nx\n1\n5 6 0\n", kept},
           {"2 33 " + token + " 9 " + plot + "\na\n", kept},
           {"2 1 " + token + " 99999999999999999999 " + plot, "2 0 " + token + none.substr(36)},
           {head + "a\n2\n5 6 1\nb\n5 7 1\nc\n", head + "a\n1\n5 6 1\nb\n"},
           {head + "a\n2\n5 6 1\nb\n8 x 1\nc\n", head + "a\n1\n5 6 1\nb\n"},
           {head + "a\n1\n5 6 -1\n", head + "a\n0\n"}}) {
    SettingsCache cache;
    ParseCacheText(text, cache);
    EXPECT_EQ(FormatCacheText(cache), taken) << text;
  }
}
