// zelagent: the agent daemon's program entry. See agent/agent.h for what it
// does and agent/agent_options.h for its command line.
#include <cstdio>
#include <string>

#include "agent/agent.h"
#include "agent/agent_options.h"

int main(int argc, char** argv) {
  agent_options options;
  std::string error;
  const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "zelagent";
  if (parse_agent_options(argc, argv, &options, &error) != 0) {
    std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(), agent_usage_text(program).c_str());
    return kAgentExitUsage;
  }
  if (options.help) {
    std::fputs(agent_usage_text(program).c_str(), stdout);
    return kAgentExitOk;
  }
  if (options.version) {
    std::fputs(agent_version_text().c_str(), stdout);
    return kAgentExitOk;
  }
  return run_agent(options);
}
