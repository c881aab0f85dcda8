#include "child_exec.h"

#include "yws_emulator.h"  // YWS_EMULATOR_ARGS: the emulator's command line, or nothing

namespace ywstest {

std::vector<std::string> child_command(const std::vector<std::string> &args) {
  const char *const emulator[] = {YWS_EMULATOR_ARGS nullptr};
  std::vector<std::string> cmd;
  for (const char *const *a = emulator; *a; a++) cmd.emplace_back(*a);
  cmd.insert(cmd.end(), args.begin(), args.end());
  return cmd;
}

}  // namespace ywstest
