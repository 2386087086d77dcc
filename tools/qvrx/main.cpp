#include <iostream>
#include <string>
#include <vector>

#include "qvrx/qvrx.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return quorvex::tools::run_qvrx(args, std::cout, std::cerr);
}
