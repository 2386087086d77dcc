#include <iostream>
#include <string>
#include <vector>

#include "qvrx/qvrx.h"
#include "qvrx/system.h"

int main(int argc, char** argv) {
  quorvex::tools::use_binary_standard_streams();
  std::vector<std::string> args(argv + 1, argv + argc);
  return quorvex::tools::run_qvrx(args, std::cout, std::cerr);
}
