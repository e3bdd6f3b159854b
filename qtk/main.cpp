// qtk: the packer and inspector of installers.
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "qtk.h"

namespace {
extern "C" void on_signal(int) { qtk::g_interrupted.store(true); }
}  // namespace

int main(int argc, char** argv) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  const int rc = qtk::run_command(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
  std::cout.flush();
  return rc;
}
