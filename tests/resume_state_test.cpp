#include "download/resume_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/cache_fs.h"
#include "test_support.h"

namespace nuvo {
namespace {

using test::ScratchDir;

constexpr std::uint64_t kLimit = 536870912;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

PartialState state(std::optional<std::string> validator, std::optional<std::uint64_t> total) {
  return PartialState{std::move(validator), total};
}

TEST(ResumeState, ReadsLenientRecords) {
  const PartialState empty;
  const struct {
    const char* name;
    std::string text;
    PartialState expected;
  } cases[] = {
      {"as written", R"({"validator":"\"abc\"","total":10485760})", state("\"abc\"", 10485760)},
      {"after a reset", R"({"validator":null,"total":null})", empty},
      {"keys reversed, an array member skipped",
       R"({"total":5,"notes":[1,{"validator":"x"},[]],"validator":"W"})", state("W", 5)},
      {"nested members of a skipped object ignored",
       R"({"x":{"validator":"no","total":1,"a":1,"a":2},"total":2})", state(std::nullopt, 2)},
      {"skipped scalars of every kind", R"({"a":true,"b":-1.5e3,"c":"s","d":null,"total":3})",
       state(std::nullopt, 3)},
      {"validator only", R"({"validator":"v"})", state("v", std::nullopt)},
      {"no members", "{}", empty},
      {"white space between tokens and after", " \t\r\n{ \"total\" :\t7 ,\"validator\":\"v\" }\n\n",
       state("v", 7)},
      {"escapes decoded", R"({"validator":"a\tb\\c\u00e9"})",
       state("a\tb\\c\xC3\xA9", std::nullopt)},
      {"largest total", R"({"total":18446744073709551615})", state(std::nullopt, UINT64_MAX)},
      {"minus zero is zero", R"({"total":-0})", state(std::nullopt, 0)},
      {"array of string and null", R"(["v",null])", state("v", std::nullopt)},
      {"array of null and number", R"([null,12])", state(std::nullopt, 12)},
      {"array with white space", " [ \"v\" , 4 ] ", state("v", 4)},

      {"total twice", R"({"total":1,"total":1})", empty},
      {"validator twice", R"({"validator":"a","validator":"a"})", empty},
      {"other key twice", R"({"x":1,"x":2,"total":1})", empty},
      {"negative total", R"({"total":-1})", empty},
      {"fractional total", R"({"total":1.5})", empty},
      {"exponent total", R"({"total":1e3})", empty},
      {"total above 64 bits", R"({"total":18446744073709551616})", empty},
      {"total as text", R"({"total":"5"})", empty},
      {"total as object", R"({"total":{}})", empty},
      {"validator as number", R"({"validator":5})", empty},
      {"validator as boolean", R"({"validator":true})", empty},
      {"validator as array", R"({"validator":["a"]})", empty},
      {"array of one", R"(["v"])", empty},
      {"array of three", R"(["v",1,2])", empty},
      {"empty array", "[]", empty},
      {"array holding an array", R"([["v"],1])", empty},
      {"array with types swapped", R"([1,"v"])", empty},
      {"trailing letter", R"({"total":1}x)", empty},
      {"second value", R"({"total":1} {})", empty},
      {"trailing comma", R"({"total":1,})", empty},
      {"comment", R"(/**/{"total":1})", empty},
      {"byte-order mark", "\xEF\xBB\xBF{\"total\":1}", empty},
      {"form feed is not JSON white space", "\f{\"total\":1}", empty},
      {"invalid UTF-8 in a string", "{\"validator\":\"\xC3\"}", empty},
      {"bare string", R"("v")", empty},
      {"bare number", "5", empty},
      {"null", "null", empty},
      {"nothing", "", empty},
      {"cut short", R"({"validator":"v")", empty},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_state(c.text), c.expected) << c.name;
}

TEST(ResumeState, WritesCompactRecordsThatReadBack) {
  const struct {
    PartialState state;
    std::string text;
  } cases[] = {
      {state("\"abc\"", 10485760), R"({"validator":"\"abc\"","total":10485760})"},
      {PartialState{}, R"({"validator":null,"total":null})"},
      {state("Wed, 21 Oct 2015 07:28:00 GMT", std::nullopt),
       R"({"validator":"Wed, 21 Oct 2015 07:28:00 GMT","total":null})"},
      {state(std::nullopt, UINT64_MAX), R"({"validator":null,"total":18446744073709551615})"},
      {state("a\tb\\c\n\r\b\f\x01\x1F\x7F", 0),
       "{\"validator\":\"a\\tb\\\\c\\n\\r\\b\\f\\u0001\\u001f\x7F\",\"total\":0}"},
      {state("", 1), R"({"validator":"","total":1})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_state(c.state), c.text);
    EXPECT_EQ(parse_state(format_state(c.state)), c.state) << c.text;
  }
}

TEST(ResumeState, JudgesTheKeptBytes) {
  using enum ResumeDecision;
  const struct {
    std::uint64_t size;
    PartialState record;
    ResumeDecision expected;
  } cases[] = {
      {kLimit + 1, state("v", kLimit + 1), FailTooLarge},
      {kLimit + 1, PartialState{}, FailTooLarge},
      {UINT64_MAX, state("v", std::nullopt), FailTooLarge},
      {0, PartialState{}, StartFresh},
      {0, state("v", 5), StartFresh},
      {0, state(std::nullopt, UINT64_MAX), StartFresh},
      {1, PartialState{}, ResetAndStartFresh},
      {1, state(std::nullopt, 10), ResetAndStartFresh},
      {1, state("v", std::nullopt), Continue},
      {kLimit, state("v", std::nullopt), Continue},
      {5, state("v", 5), Continue},
      {5, state("v", 6), Continue},
      {1, state("v", kLimit), Continue},
      {kLimit, state("v", kLimit), Continue},
      {5, state("v", 4), ResetAndStartFresh},
      {1, state("v", kLimit + 1), ResetAndStartFresh},
      {1, state("v", 0), ResetAndStartFresh},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(judge_partial(c.size, c.record), c.expected)
        << c.size << " " << format_state(c.record);
  }
}

TEST(ResumeState, TemporaryPathReplacesTheExtension) {
  const std::pair<std::string, std::string> cases[] = {
      {"/c/0a1b/resume.json", "/c/0a1b/resume.tmp"},
      {"C:\\c\\0a1b\\resume.json", "C:\\c\\0a1b\\resume.tmp"},
      {"/c/dir.d/resume", "/c/dir.d/resume.tmp"},
      {"C:\\dir.d\\resume", "C:\\dir.d\\resume.tmp"},
      {"/c/.resume", "/c/.resume.tmp"},
      {"resume.state.json", "resume.state.tmp"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(temporary_state_path(path), expected);
}

TEST(ResumeState, ReadsFilesUpToTheCap) {
  ScratchDir dir;
  const std::string record = R"({"validator":"\"e\"","total":99})";
  const PartialState expected = state("\"e\"", 99);
  const std::string padded_full = record + std::string(kMaxStateFileSize - record.size(), ' ');
  const std::string padded_over = padded_full + " ";

  const struct {
    const char* name;
    std::string content;
    PartialState expected;
  } cases[] = {
      {"plain record", record, expected},
      {"4 096 bytes with padding", padded_full, expected},
      {"4 097 bytes with padding", padded_over, PartialState{}},
      {"garbage", "not json", PartialState{}},
  };
  for (const auto& c : cases) {
    const std::string path = dir.write("resume.json", c.content);
    EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), path), c.expected) << c.name;
  }

  EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), dir.file("missing.json")), PartialState{});
  EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), dir.file("no-such-dir/resume.json")), PartialState{});
  std::filesystem::create_directory(dir.file("dir.json"));
  EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), dir.file("dir.json")), PartialState{});

  // A second link makes the record untrustworthy.
  const std::string linked = dir.write("linked.json", record);
  std::filesystem::create_hard_link(linked, dir.file("other.json"));
  EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), linked), PartialState{});
#ifndef _WIN32
  // Wine cannot create symbolic links; the native run covers them.
  const std::string target = dir.write("target.json", record);
  std::filesystem::create_symlink(target, dir.file("symlink.json"));
  EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), dir.file("symlink.json")), PartialState{});
#endif
}

TEST(ResumeState, WriteReplacesTheRecordThroughTheTemporaryFile) {
  ScratchDir dir;
  const std::string path = dir.file("resume.json");
  const std::string temporary = dir.file("resume.tmp");

  const struct {
    const char* name;
    std::optional<std::string> before;           // resume.json, if any
    std::optional<std::string> stale_temporary;  // left by a crash, if any
    PartialState written;
  } cases[] = {
      {"first record", std::nullopt, std::nullopt, state("\"abc\"", 10485760)},
      {"replaces a longer record", R"({"validator":"\"a much longer validator\"","total":1})",
       std::nullopt, state("\"b\"", 2)},
      {"crash before the delete: old record and resume.tmp", R"({"validator":"\"old\"","total":1})",
       std::string(300, 'x'), state("\"new\"", 3)},
      {"crash after the delete: only resume.tmp", std::nullopt, "{\"validator\":", PartialState{}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(path);
    std::filesystem::remove(temporary);
    if (c.before) dir.write("resume.json", *c.before);
    if (c.stale_temporary) dir.write("resume.tmp", *c.stale_temporary);

    ASSERT_TRUE(write_state(os_cache_fs(), test::no_cancel(), path, c.written)) << c.name;
    EXPECT_EQ(slurp(path), format_state(c.written)) << c.name;
    EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), path), c.written) << c.name;
    EXPECT_FALSE(std::filesystem::exists(temporary)) << c.name;
  }
}

TEST(ResumeState, FailedWriteLeavesTheOldRecord) {
  const std::string old_record = R"({"validator":"\"old\"","total":1})";
  const struct {
    const char* name;
    bool temporary_is_directory;
    bool temporary_hard_linked;
    SetupErrorKind expected;
  } cases[] = {
      {"resume.tmp is a directory", true, false, SetupErrorKind::StorageFailed},
      {"resume.tmp has a second link", false, true, SetupErrorKind::ChannelMisconfigured},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    const std::string path = dir.write("resume.json", old_record);
    if (c.temporary_is_directory) std::filesystem::create_directory(dir.file("resume.tmp"));
    if (c.temporary_hard_linked) {
      dir.write("resume.tmp", "stale");
      std::filesystem::create_hard_link(dir.file("resume.tmp"), dir.file("elsewhere"));
    }
    const auto r = write_state(os_cache_fs(), test::no_cancel(), path, state("\"new\"", 2));
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind, c.expected) << c.name;
    EXPECT_EQ(slurp(path), old_record) << c.name;
    if (c.temporary_hard_linked) {
      EXPECT_EQ(slurp(dir.file("elsewhere")), "stale") << c.name;
    }
  }

  // The record itself cannot be replaced: the temporary file stays behind.
  ScratchDir dir;
  std::filesystem::create_directory(dir.file("resume.json"));
  const auto r = write_state(os_cache_fs(), test::no_cancel(), dir.file("resume.json"), state("\"new\"", 2));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, SetupErrorKind::StorageFailed);
  EXPECT_EQ(slurp(dir.file("resume.tmp")), format_state(state("\"new\"", 2)));

#ifndef _WIN32
  // Wine cannot create symbolic links; the native run covers them.
  ScratchDir linked;
  const std::string target = linked.write("target", old_record);
  std::filesystem::create_symlink(target, linked.file("resume.json"));
  const auto through_link = write_state(os_cache_fs(), test::no_cancel(), linked.file("resume.json"), PartialState{});
  ASSERT_FALSE(through_link);
  EXPECT_EQ(through_link.error().kind, SetupErrorKind::ChannelMisconfigured);
  EXPECT_EQ(slurp(target), old_record);
  EXPECT_FALSE(std::filesystem::exists(linked.file("resume.tmp")));
#endif
}

TEST(ResumeState, ResetEmptiesThePartAndTheRecord) {
  const struct {
    const char* name;
    std::optional<std::string> part;
    std::optional<std::string> record;
  } cases[] = {
      {"kept bytes with a record", std::string(70000, 'p'), R"({"validator":"\"v\"","total":9})"},
      {"kept bytes without a record", "ppp", std::nullopt},
      {"nothing yet", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    if (c.part) dir.write("installer.part", *c.part);
    if (c.record) dir.write("resume.json", *c.record);
    ASSERT_TRUE(reset_partial(os_cache_fs(), test::no_cancel(), dir.file("installer.part"), dir.file("resume.json"))) << c.name;
    EXPECT_EQ(file_size(dir.file("installer.part")), 0u) << c.name;
    EXPECT_EQ(slurp(dir.file("resume.json")), R"({"validator":null,"total":null})") << c.name;
    EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), dir.file("resume.json")), PartialState{}) << c.name;
  }

  // An installer.part that cannot be opened stops the reset before the record changes.
  ScratchDir dir;
  std::filesystem::create_directory(dir.file("installer.part"));
  const std::string record = dir.write("resume.json", R"({"validator":"\"v\"","total":9})");
  const auto r = reset_partial(os_cache_fs(), test::no_cancel(), dir.file("installer.part"), record);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, SetupErrorKind::StorageFailed);
  EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), record), state("\"v\"", 9));
}

}  // namespace
}  // namespace nuvo
