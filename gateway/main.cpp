// tarnvex-milter: the gateway's program. Options and commands in
// gateway/options.h; what each does in gateway/commands.cpp.
#include <cstdio>
#include <string>
#include <vector>

#include "gateway/commands.h"
#include "gateway/limits.h"
#include "gateway/options.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  gateway::Options options;
  std::string error;
  if (!gateway::ParseOptions(args, &options, &error)) {
    std::fprintf(stderr, "%s: %s\nTry '%s%s%s --help'.\n",
                 gateway::kProgramName, error.c_str(), gateway::kProgramName,
                 options.help_of.empty() ? "" : " ", options.help_of.c_str());
    return gateway::kExitUsage;
  }
  return gateway::RunOptions(options);
}
