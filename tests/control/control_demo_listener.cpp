// A stand-in for the agent's control listener, for the demo:
//
//   control_demo_listener <ready file> <code>...
//
// Listens on 127.0.0.1:14369, creates <ready file> once it accepts
// connections, then serves one request per given result code: it prints the
// request it received and the reply it sends, answers with the code and
// exits after the last one.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "control/control_protocol.h"
#include "control/fake_control_listener.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <ready file> <result code>...\n", argv[0]);
    return 2;
  }
  std::vector<std::string> replies;
  for (int i = 2; i < argc; ++i) replies.push_back(format_reply(static_cast<std::int32_t>(std::atoi(argv[i]))));

  try {
    zeltest::FakeControlListener listener(kControlPort);
    std::size_t next = 0;
    listener.set_responder([&](const std::string& request) {
      std::string reply = replies[next < replies.size() ? next : replies.size() - 1];
      ++next;
      std::printf("  listener received: %s\n  listener replies:  %s\n", request.c_str(), reply.c_str());
      std::fflush(stdout);
      return reply;
    });
    std::ofstream(argv[1]) << "ready\n";
    if (!listener.wait_for_requests(replies.size(), std::chrono::minutes(5))) {
      std::fprintf(stderr, "control_demo_listener: gave up waiting for requests\n");
      return 1;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "control_demo_listener: %s\n", error.what());
    return 1;
  }
  return 0;
}
