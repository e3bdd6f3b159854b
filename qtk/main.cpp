// qtk: the packer and inspector of installers.
#include <iostream>

#include "sys/os.h"
#include "qtk.h"

int main(int argc, char** argv) {
  qtk::on_interrupt([] { qtk::g_interrupted.store(true); });
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args = qtk::program_args(argc, argv);
  const int rc = qtk::run_command(args, std::cout, std::cerr, qtk::stderr_is_terminal());
  std::cout.flush();
  return rc;
}
