// `mdhost access [--repository FILE] [--user NAME] [--password TEXT | --password-file FILE]
//  [--identity NAME] OBJECT PERMISSION`: prints whether the user (or the identity named) is
// granted PERMISSION on OBJECT and the chain of entries that decided, as access() returns it.
// Exit status 0 granted, 1 denied, 2 a usage or repository error.
#pragma once

#include <string>
#include <vector>

namespace runner {

int accessCommand(const std::vector<std::string>& arguments);

}  // namespace runner
