// zkboot: the operating-system side of the boot-control driver. It leaves
// change-boot requests and the other driver variables in efivarfs and shows
// what the next boot will do.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/zkboot/efivars.h"

namespace zkboot {

// Runs the command line (argv[0] excluded) and returns the exit status.
int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The state of the driver's variables and the prediction, as `status --json`
// prints it. `onceMarker` tells whether a one-time request is recorded.
nlohmann::ordered_json StatusJson(const Efivarfs& store, bool onceMarker);
std::string StatusText(const nlohmann::ordered_json& status);

}  // namespace zkboot
