// What the control tool's black-box tests share: the built tool, run with its
// log in a temporary folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/fake_control_listener.h"
#include "support/test_support.h"

namespace zeltest {

inline std::string control_tool() { return built_program("src/control/zelagent_control"); }

class ControlToolTest : public testing::Test {
 protected:
  ProgramResult run(std::vector<std::string> args) {
    args.insert(args.begin(), {control_tool(), "--log_file", log_path()});
    return run_program(args);
  }
  std::string log_path() const { return dir_.file("control.log"); }
  std::string log() const { return read_file(log_path()); }

  TempDir dir_;
};

}  // namespace zeltest
