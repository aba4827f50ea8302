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
// Nothing here logs or keeps state; any thread may call it.
#pragma once

#include <optional>
#include <string>

// The hardware id found by the fallback order above (the command-line step
// is the caller's); std::nullopt when no source gives one. `root` is put
// before each path read (a folder standing for the device's root file system);
// empty on a device.
std::optional<std::string> find_hardware_id(const std::string& root = "");

// The model (never empty: the uname fallback always gives one).
std::string find_model();
