// The hardware id a device without --hardware-id gets: the same on every
// start, from fake device roots laid out in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "agent/device_info.h"
#include "support/test_support.h"

namespace {

TEST(DeviceInfo, HardwareIdComesFromTheFirstSourceThatHasOneInAFixedOrder) {
  using Files = std::vector<std::pair<std::string, std::string>>;  // written in this order
  const std::string net = "sys/class/net/wlan", mac1 = "de:ad:be:ef:00:01\n", mac2 = "de:ad:be:ef:00:02\n";
  const struct { const char* name; Files files; std::optional<std::string> id; } cases[] = {
      {"cpu serial", {{"proc/cpuinfo", "processor\t: 0\nSerial\t\t: 00000000c0ffee42\n"}, {"etc/machine-id", "m\n"}},
       "00000000c0ffee42"},
      {"zero serial: machine id", {{"proc/cpuinfo", "Serial : 0000000000000000\n"}, {"etc/machine-id", " 5f3c\n"}},
       "5f3c"},
      {"blank machine id: interfaces by name", {{"etc/machine-id", "\n"}, {net + "1/address", mac2},
       {net + "0/address", mac1}, {"sys/class/net/lo/address", "00:00:00:00:00:07\n"}}, "DEADBEEF0001"},
      {"listed the other way round", {{net + "0/address", mac1}, {net + "1/address", mac2}}, "DEADBEEF0001"},
      {"zero MAC skipped", {{net + "0/address", "00:00:00:00:00:00\n"}, {net + "1/address", mac2}},
       "DEADBEEF0002"},
      {"no source", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zeltest::TempDir root;
    for (const auto& [path, text] : c.files) {
      std::filesystem::create_directories(std::filesystem::path(root.file(path)).parent_path());
      zeltest::write_file(root.file(path), text);
    }
    EXPECT_EQ(find_hardware_id(root.path()), c.id);
  }
}

}  // namespace
