// The device's hardware id and model, found on the device when the command
// line does not give them. Each source is a small text file; a source that
// is missing or says nothing useful passes the question to the next.
#include "agent/device_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

namespace {

constexpr const char* kCpuinfoPath = "/proc/cpuinfo";
constexpr const char* kMachineIdPath = "/etc/machine-id";
constexpr const char* kNetClassPath = "/sys/class/net";
constexpr const char* kDeviceTreeModelPath = "/proc/device-tree/model";
constexpr const char* kLoopbackInterface = "lo";
constexpr const char* kSerialKey = "Serial";
constexpr const char* kGenericModelPrefix = "generic-";
constexpr const char* kUnknownMachine = "unknown";
constexpr std::size_t kMacBytes = 6;
constexpr std::size_t kMacTextLength = 17;  // "aa:bb:cc:dd:ee:ff"
// Device files are small; a bound keeps a strange file from filling memory.
constexpr std::size_t kMaxDeviceFileBytes = 64 * 1024;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::optional<std::string> read_small_file(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return content;
    content.append(buffer, static_cast<std::size_t>(got));
    if (content.size() > kMaxDeviceFileBytes) return std::nullopt;
  }
}

bool is_blank(char c) { return c == '\0' || std::isspace(static_cast<unsigned char>(c)) != 0; }

std::optional<std::string> non_empty(std::string text) {
  if (text.empty()) return std::nullopt;
  return text;
}

// Leading and trailing white space (and NUL bytes, which device-tree
// strings end with) removed.
std::string trim_device_text(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

// The value of the "Serial" line of a /proc/cpuinfo text; std::nullopt when
// there is none or it is empty or made only of zeros.
std::optional<std::string> cpuinfo_serial(std::string_view cpuinfo) {
  std::size_t start = 0;
  while (start < cpuinfo.size()) {
    std::size_t end = cpuinfo.find('\n', start);
    if (end == std::string_view::npos) end = cpuinfo.size();
    const std::string_view line = cpuinfo.substr(start, end - start);
    start = end + 1;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || trim_device_text(line.substr(0, colon)) != kSerialKey) continue;
    const std::string serial = trim_device_text(line.substr(colon + 1));
    if (serial.empty() || std::all_of(serial.begin(), serial.end(), [](char c) { return c == '0'; })) {
      return std::nullopt;
    }
    return serial;
  }
  return std::nullopt;
}

// A MAC address text ("aa:bb:cc:dd:ee:ff") as 12 upper-case hex digits;
// std::nullopt when it is malformed or all zeros.
std::optional<std::string> mac_to_hardware_id(std::string_view mac) {
  if (mac.size() != kMacTextLength) return std::nullopt;
  std::string id;
  bool all_zero = true;
  for (std::size_t byte = 0; byte < kMacBytes; ++byte) {
    const std::size_t at = byte * 3;
    if (byte > 0 && mac[at - 1] != ':') return std::nullopt;
    for (std::size_t digit = 0; digit < 2; ++digit) {
      const char c = mac[at + digit];
      if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return std::nullopt;
      if (c != '0') all_zero = false;
      id += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  if (all_zero) return std::nullopt;
  return id;
}

std::optional<std::string> first_interface_mac(const std::string& root) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir((root + kNetClassPath).c_str()));
  if (!dir) return std::nullopt;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == kLoopbackInterface) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::optional<std::string> mac = read_small_file(root + kNetClassPath + "/" + name + "/address");
    if (!mac) continue;
    std::optional<std::string> id = mac_to_hardware_id(trim_device_text(*mac));
    if (id) return id;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> find_hardware_id(const std::string& root) {
  if (std::optional<std::string> cpuinfo = read_small_file(root + kCpuinfoPath)) {
    if (std::optional<std::string> serial = cpuinfo_serial(*cpuinfo)) return serial;
  }
  if (std::optional<std::string> machine_id = read_small_file(root + kMachineIdPath)) {
    if (std::optional<std::string> id = non_empty(trim_device_text(*machine_id))) return id;
  }
  return first_interface_mac(root);
}

std::string find_model() {
  if (std::optional<std::string> model = read_small_file(kDeviceTreeModelPath)) {
    if (std::optional<std::string> text = non_empty(trim_device_text(*model))) return *text;
  }
  struct utsname names {};
  const std::string machine = ::uname(&names) == 0 && names.machine[0] != '\0' ? names.machine : kUnknownMachine;
  return kGenericModelPrefix + machine;
}
