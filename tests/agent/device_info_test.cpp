// The hardware id a device without --hardware-id gets: the same on every
// start, from fake device roots laid out in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "agent/device_info.h"
#include "support/test_support.h"

namespace {

TEST(DeviceInfo, HardwareIdComesFromTheFirstSourceThatHasOneInAFixedOrder) {
  using Files = std::vector<std::pair<std::string, std::string>>;  // written in this order
  // Adds interfaces <prefix><i>, made in the order given, each with the MAC de:ad:be:ef:00:0<i>.
  const auto with_interfaces = [](Files files, const std::string& prefix, std::initializer_list<int> order) {
    for (int i : order) files.push_back({"sys/class/net/" + prefix + std::to_string(i) + "/address",
                                         "de:ad:be:ef:00:0" + std::to_string(i) + "\n"});
    return files;
  };
  const struct { const char* name; Files files; std::optional<std::string> id; } cases[] = {
      {"cpu serial", {{"proc/cpuinfo", "cpu\t: 0\nSerial\t\t: 00c0ffee42\n"}, {"etc/machine-id", "m\n"}}, "00c0ffee42"},
      {"zero serial: machine id", {{"proc/cpuinfo", "Serial : 0000\n"}, {"etc/machine-id", " 5f3c\n"}}, "5f3c"},
      // Whatever order the folder lists them in (creation or hash), the first by name counts.
      {"blank machine id: interfaces by name",
       with_interfaces({{"etc/machine-id", "\n"}, {"sys/class/net/lo/address", "00:00:00:00:00:07\n"}}, "wlan",
                       {3, 2, 1, 0}), "DEADBEEF0000"},
      {"made the other way round", with_interfaces({}, "eth", {0, 1, 2, 3}), "DEADBEEF0000"},
      {"zero MAC skipped", with_interfaces({{"sys/class/net/eth0/address", "00:00:00:00:00:00\n"}}, "eth", {1}),
       "DEADBEEF0001"},
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
