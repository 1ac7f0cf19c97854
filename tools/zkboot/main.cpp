// zkboot: leaves change-boot requests for the boot-control driver in efivarfs
// and shows what the next boot will do.
#include <iostream>
#include <string>
#include <vector>

#include "tools/zkboot/zkboot.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return zkboot::Main(args, std::cout, std::cerr);
}
