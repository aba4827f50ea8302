// Where the agent's hardware id and model come from when the command line
// does not give them. The zelCloud knows a device by its hardware id, so the
// fallback must give the same text on every start of the same device:
//
//   hardware id: --hardware-id, else the "Serial" line of /proc/cpuinfo (the
//                SoC serial number of ARM boards; a serial of only zeros is
//                no serial), else /etc/machine-id, else the MAC address of
//                the first network interface (in name order) that is not
//                the loopback and not all zeros, as 12 upper-case hex digits.
//   model:       --model, else /proc/device-tree/model, else "generic-"
//                followed by the machine name of uname (e.g. generic-armv7l).
//
// Every reader takes the file system root it reads under ("" for the real
// one), so tests can lay out a fake device in a temporary folder. Nothing
// here logs or keeps state; any thread may call it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Leading and trailing white space (and NUL bytes, which device-tree
// strings end with) removed.
std::string trim_device_text(std::string_view text);

// The value of the "Serial" line of a /proc/cpuinfo text; std::nullopt when
// there is none or it is empty or made only of zeros.
std::optional<std::string> cpuinfo_serial(std::string_view cpuinfo);

// A MAC address text ("aa:bb:cc:dd:ee:ff") as 12 upper-case hex digits;
// std::nullopt when it is malformed or all zeros.
std::optional<std::string> mac_to_hardware_id(std::string_view mac);

// The hardware id found under `root` by the fallback order above (the
// command-line step is the caller's); std::nullopt when no source gives one.
std::optional<std::string> find_hardware_id(const std::string& root = "");

// The model found under `root` (never empty: the uname fallback always
// gives one).
std::string find_model(const std::string& root = "");
