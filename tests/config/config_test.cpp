// The configuration layer and the store under it: number conversion, empty
// values read as absent, buffer cuts, the store file format (odd bytes kept,
// damage refused whole), commits merged across processes, and the `pvo` tool.
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "config/config.h"
#include "pvo/pvo.h"
#include "pvo_format.h"
#include "support/test_support.h"

namespace {

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;
const std::string kKeyMax(PVO_MAX_KEY_LENGTH, 'k'), kValueMax(PVO_MAX_VALUE_LENGTH, 'v');

// A private store in a folder the first commit creates, and the `pvo` tool
// run as another process.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv(PVO_STORE_ENV, (folder_ + "/").c_str(), 1); }
  void TearDown() override { ::unsetenv(PVO_STORE_ENV); }
  static zeltest::ProgramResult tool(std::vector<std::string> args) {
    args.insert(args.begin(), zeltest::built_program("platform/pvo/pvo"));
    return zeltest::run_program(args);
  }
  zeltest::TempDir dir_;
  const std::string folder_ = dir_.file("nvram/zel");
  const std::string store_ = folder_ + "/store";
};

// A store file around hand-made records, with a sound trailer.
std::string framed(const std::string& records, int count) {
  std::string body = "PVO1\n" + records;
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08lx",
                crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
  return body + "END " + std::to_string(count) + " " + crc + "\n";
}

// Another thread's write that comes while a write of two keys is half done.
struct Interleaved {
  std::string store;
  std::thread other;
  std::atomic<bool> done{false};
  pvo::Entries committed;  // the store file right after the other thread's commit
};
Interleaved* interleaved = nullptr;

void write_from_another_thread() {
  interleaved->other = std::thread([] {
    config_set(kKeyAgentClaimed, kFlagOn);
    pvo::parse_store(zeltest::read_file(interleaved->store), &interleaved->committed);
    interleaved->done.store(true);
  });
  // Unlocked, the other write ends at once; locked out, it waits for ours.
  zeltest::wait_until([] { return interleaved->done.load(); }, std::chrono::milliseconds(300));
}

TEST(StrToUint32, ConvertsAsTheDeviceAlwaysHas) {
  const struct { const char* text; int rc; std::uint32_t value; } cases[] = {
      {"0", 0, 0}, {"", 0, 0}, {"abc", 0, 0}, {" \t\n17 ", 0, 17}, {"+8", 0, 8}, {"-0", 0, 0}, {"-5", -1, 0},
      {"2147483647", 0, 2147483647u}, {"4294967296", 0, 2147483647u}, {"99999999999999999999999", 0, 2147483647u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text '") + c.text + "'");
    std::uint32_t value = kUntouched;
    EXPECT_EQ(str_to_uint32(c.text, &value), c.rc);
    EXPECT_EQ(value, c.rc == 0 ? c.value : kUntouched);
  }
}

TEST_F(StoreTest, NumbersReadThroughTheirBufferOrFallBack) {
  const char* key = kKeyHttpConnectTimeout;
  const struct { const char* stored; bool found; std::uint32_t value; } cases[] = {
      {nullptr, false, 0}, {"", false, 0}, {"-5", false, 0}, {"0", true, 0}, {"120", true, 120},
      // Only the first 15 characters fit the reader's buffer.
      {"000000000000123", true, 123}, {"0000000000000001", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored != nullptr ? std::string("stored '") + c.stored + "'" : "not set");
    ASSERT_EQ(c.stored != nullptr ? pvoSet(key, c.stored) : pvoUnset(key), PVO_OK);
    std::uint32_t value = kUntouched;
    EXPECT_EQ(config_get_uint32(key, &value), c.found ? 0 : -1);
    EXPECT_EQ(value, c.found ? c.value : kUntouched);
    EXPECT_EQ(config_get_uint32_default(key, kDefaultHttpConnectTimeout),
              c.found ? c.value : kDefaultHttpConnectTimeout);
  }
}

TEST_F(StoreTest, TextReadsAreCutAndEmptyMeansAbsent) {
  ASSERT_EQ(pvoSet("zel_empty", ""), PVO_OK);
  ASSERT_EQ(pvoSet(kKeyAgentId, std::string(300, 'z').c_str()), PVO_OK);
  char buffer[] = "#######";
  EXPECT_EQ(config_get("zel_empty", buffer, sizeof buffer), -1);
  EXPECT_EQ(config_get(kKeyAgentId, buffer, 0), -1);
  EXPECT_STREQ(buffer, "#######");
  EXPECT_EQ(config_get(kKeyAgentId, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "zzzzzzz");
  EXPECT_EQ(config_get_string("zel_empty"), std::nullopt);
  EXPECT_EQ(config_get_string(kKeyAgentId), std::string(kConfigStringBufferSize - 1, 'z'));
}

TEST_F(StoreTest, SetsReachOtherProcessesAtOnceEvenAfterARefusal) {
  // A change an earlier failed commit left pending goes out with the next one.
  ASSERT_EQ(pvoSet("zel_pending", "yes"), PVO_OK);
  EXPECT_EQ(config_set("zel_refused", std::string(PVO_MAX_VALUE_LENGTH + 1, 'v').c_str()), 0);
  EXPECT_EQ(tool({"get", "zel_pending"}).out, "yes\n");
  EXPECT_EQ(config_set(kKeyAgentRegistered, kFlagOn), 0);
  EXPECT_EQ(tool({"get", kKeyAgentRegistered}).out, "1\n");
}

TEST_F(StoreTest, KeysWrittenTogetherAreCommittedTogetherOrNotAtAll) {
  ASSERT_EQ(config_set(kKeyAgentId, "OLD-ID"), 0);
  ASSERT_EQ(config_set(kKeyAgentClaimCode, "old-code"), 0);
  Interleaved state;
  state.store = store_;
  interleaved = &state;
  config_testing::set_between_sets_hook(write_from_another_thread);
  const config_setting identity[] = {{kKeyAgentId, "NEW-ID"}, {kKeyAgentClaimCode, "new-code"}};
  EXPECT_EQ(config_set_together(identity, 2), 0);
  config_testing::set_between_sets_hook(nullptr);
  state.other.join();
  interleaved = nullptr;
  EXPECT_EQ(state.committed[kKeyAgentId] == "NEW-ID", state.committed[kKeyAgentClaimCode] == "new-code");
  EXPECT_EQ(tool({"get", kKeyAgentId}).out, "NEW-ID\n");
  EXPECT_EQ(tool({"get", kKeyAgentClaimCode}).out, "new-code\n");

  // A set refused half-way is undone: the next commit publishes none of it.
  const std::string too_long(PVO_MAX_VALUE_LENGTH + 1, 'c');
  const config_setting refused[] = {{kKeyAgentId, "HALF-ID"}, {kKeyAgentClaimCode, too_long.c_str()}};
  EXPECT_EQ(config_set_together(refused, 2), -1);
  ASSERT_EQ(config_set(kKeyAgentRegistered, kFlagOn), 0);
  EXPECT_EQ(tool({"get", kKeyAgentId}).out, "NEW-ID\n");
}

TEST(StoreFormat, ReadsBackWhatItWritesAndRefusesAnyDamage) {
  const pvo::Entries odd = {
      {"a=b", "c=d\n\r\n"}, {"END 0 1\n", "PVO1\n"}, {"\xc3\xa9", "\xe2\x82\xac\x01\xff"}};
  const pvo::Entries longest = {{kKeyMax, kValueMax}};
  const std::string good = pvo::serialize_store({{"alpha", "one"}, {"beta", "two"}});
  std::string flipped = good;
  flipped[good.find("two")] ^= 0x20;
  const struct { const char* name; std::string data; std::optional<pvo::Entries> want; } cases[] = {
      {"empty store", pvo::serialize_store({}), pvo::Entries{}},
      {"odd bytes", pvo::serialize_store(odd), odd},
      {"longest key and value", pvo::serialize_store(longest), longest},
      {"hand-made", framed("1 1\nab\n", 1), pvo::Entries{{"a", "b"}}},
      {"torn tail", good.substr(0, good.size() - 1), std::nullopt},
      {"flipped byte", flipped, std::nullopt},
      {"bytes after the end", good + "x", std::nullopt},
      {"wrong count", framed("1 1\nab\n", 2), std::nullopt},
      {"keys out of order", framed("1 1\nbx\n1 1\nay\n", 2), std::nullopt},
      {"repeated key", framed("1 1\nax\n1 1\nay\n", 2), std::nullopt},
      {"length past the end", framed("1 9\nab\n", 1), std::nullopt},
      {"leading zero", framed("01 1\nab\n", 1), std::nullopt},
      {"NUL in a value", framed(std::string("1 1\na\0\n", 7), 1), std::nullopt},
      {"key too long", framed("1025 0\n" + kKeyMax + "k\n", 1), std::nullopt},
      {"value too long", framed("1 65537\na" + kValueMax + "v\n", 1), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pvo::Entries entries = {{"kept", "as is"}};
    EXPECT_EQ(pvo::parse_store(c.data, &entries), c.want.has_value());
    EXPECT_EQ(entries, c.want.value_or(pvo::Entries{{"kept", "as is"}}));
  }
}

TEST_F(StoreTest, CommitsMergeWithOtherProcessesCommits) {
  ASSERT_EQ(pvoSet("shared", "mine"), PVO_OK);
  ASSERT_EQ(pvoSet("gone", "x"), PVO_OK);
  ASSERT_EQ(pvoCommit(), PVO_OK);
  ASSERT_EQ(tool({"set", "theirs", "1"}).status, 0);
  EXPECT_EQ(config_get_string("theirs"), "1");
  // Pending changes stay on top of what others commit meanwhile.
  ASSERT_EQ(pvoUnset("gone"), PVO_OK);
  ASSERT_EQ(pvoSet("shared", "mine again"), PVO_OK);
  ASSERT_EQ(tool({"set", "shared", "theirs"}).status, 0);
  ASSERT_EQ(tool({"set", "late", "2"}).status, 0);
  EXPECT_EQ(config_get_string("shared"), "mine again");
  ASSERT_EQ(pvoCommit(), PVO_OK);
  EXPECT_EQ(tool({"list"}).out, "late=2\nshared=mine again\ntheirs=1\n");
  // The store holds passwords: only its owner may read it.
  struct stat folder {}, file {}, replaced {};
  ASSERT_EQ(::stat(folder_.c_str(), &folder), 0);
  ASSERT_EQ(::stat(store_.c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  // A commit replaces the file whole: a reader of the old one never meets half a store.
  const UniqueFd reader(::open(store_.c_str(), O_RDONLY | O_CLOEXEC));  // also keeps the old inode's number taken
  ASSERT_EQ(pvoSet("shared", "replaced"), PVO_OK);
  ASSERT_EQ(pvoCommit(), PVO_OK);
  ASSERT_EQ(::stat(store_.c_str(), &replaced), 0);
  EXPECT_NE(replaced.st_ino, file.st_ino);
}

TEST_F(StoreTest, DamagedStoreIsReportedAndNeverReplaced) {
  ASSERT_EQ(tool({"set", kKeyAgentId, "abc"}).status, 0);
  std::string damaged = zeltest::read_file(store_);
  damaged[damaged.find("abc")] = 'X';
  zeltest::write_file(store_, damaged, 0600);
  char* value = nullptr;
  EXPECT_EQ(pvoGet(kKeyAgentId, &value), PVO_E_CORRUPT);
  EXPECT_EQ(config_set(kKeyAgentClaimed, kFlagOn), 0);
  EXPECT_EQ(pvoCommit(), PVO_E_CORRUPT);
  EXPECT_EQ(pvoList([](const char*, const char*, void*) { return 0; }, nullptr), PVO_E_CORRUPT);
  EXPECT_EQ(tool({"get", kKeyAgentClaimed}).status, 3);
  EXPECT_EQ(zeltest::read_file(store_), damaged);
  // Once the damaged file is gone, the change still pending goes out.
  ASSERT_EQ(::unlink(store_.c_str()), 0);
  EXPECT_EQ(pvoCommit(), PVO_OK);
  EXPECT_EQ(tool({"get", kKeyAgentClaimed}).out, "1\n");
}

TEST_F(StoreTest, NeverClosesADescriptorItNoLongerOwns) {
  // A daemonising program closes every descriptor and soon reuses the numbers.
  ASSERT_EQ(pvoSet("k", "1"), PVO_OK);
  ASSERT_EQ(pvoCommit(), PVO_OK);
  struct stat committed {}, st {};
  ASSERT_EQ(::stat(store_.c_str(), &committed), 0);
  int held = 3;
  for (; held < 1024; ++held) {
    if (::fstat(held, &st) == 0 && st.st_ino == committed.st_ino && st.st_dev == committed.st_dev) break;
  }
  ASSERT_LT(held, 1024);
  ASSERT_EQ(::dup2(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)).get(), held), held);
  ASSERT_EQ(tool({"set", "k", "2"}).status, 0);
  EXPECT_EQ(config_get_string("k"), "2");
  EXPECT_NE(::fcntl(held, F_GETFD), -1);
  ::close(held);
}

TEST_F(StoreTest, ToolStatusesAndListEscapes) {
  const std::string odd = "a\\b\nc\r\td\x01\x7f\xc3\xa9";
  const struct { std::vector<std::string> args; int status; std::string out; } steps[] = {
      {{"list"}, 0, ""}, {{"get", "zel_x"}, 1, ""}, {{"set", "zel_x", odd}, 0, ""},
      {{"set", "k=e\ny", "v=al"}, 0, ""}, {{"set", "zel_empty", ""}, 0, ""},
      {{"list"}, 0, "k\\=e\\ny=v=al\nzel_empty=\nzel_x=a\\\\b\\nc\\r\\td\\x01\\x7f\xc3\xa9\n"},
      {{"get", "zel_x"}, 0, odd + "\n"}, {{"get", "zel_empty"}, 0, "\n"}, {{"unset", "zel_x"}, 0, ""},
      {{"unset", "zel_x"}, 0, ""}, {{"get", "zel_x"}, 1, ""}, {{}, 2, ""}, {{"get"}, 2, ""},
      {{"set", "k"}, 2, ""}, {{"list", "k"}, 2, ""}, {{"remove", "k"}, 2, ""}, {{"set", "", "v"}, 3, ""},
      {{"set", kKeyMax + "k", "v"}, 3, ""}, {{"set", "k", kValueMax + "v"}, 3, ""},
      {{"set", kKeyMax, kValueMax}, 0, ""}, {{"get", kKeyMax}, 0, kValueMax + "\n"},
  };
  for (const auto& step : steps) {
    std::string trace;
    for (const auto& arg : step.args) trace += "[" + arg.substr(0, 16) + "] ";
    SCOPED_TRACE(trace);
    auto result = tool(step.args);
    EXPECT_EQ(result.status, step.status) << result.err;
    EXPECT_EQ(result.out, step.out);
  }
}

}  // namespace
