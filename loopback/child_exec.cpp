#include "child_exec.h"

#include "yws_emulator.h"  // YWS_EMULATOR_ARGS: the emulator's command line, or nothing

namespace ywstest {

namespace {
const char *const kEmulator[] = {YWS_EMULATOR_ARGS nullptr};
}  // namespace

bool under_emulator() {
  return kEmulator[0] != nullptr;
}

std::vector<std::string> child_command(const std::vector<std::string> &args) {
  std::vector<std::string> cmd;
  for (const char *const *a = kEmulator; *a; a++) cmd.emplace_back(*a);
  cmd.insert(cmd.end(), args.begin(), args.end());
  return cmd;
}

}  // namespace ywstest
