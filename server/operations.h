// The operations of the metadata client interface as JSON: each takes the arguments of one
// member or object slot, calls that member of an in-process interface opened for the request's
// principal (so every decision is the one the repository makes in-process), and answers with
// the status code, the interface's own error text when the status is a failure, and the result.
//
// Objects travel as {"id", "type", "name", "description", "key"}: what a handle carries. An
// operation on an object rebuilds the handle from them, as a package holding the handle would
// pass it; the operation decides on the object's identifier, as it does in-process.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "mdaccess/md_abi.h"

namespace mdserver_net {

// Names of the operations served (those of the interface's call counts).
const std::vector<std::string>& servedOperations();
bool isServedOperation(const std::string& name);

// Runs `operation` on md. The answer always has "status" (the 32-bit code as a number); a
// failure adds "error" (the text the interface gave in-process). Malformed arguments answer
// the invalid-argument status with a text naming the argument.
nlohmann::json runOperation(MetadataInterface* md, const std::string& operation,
                            const nlohmann::json& arguments);

}  // namespace mdserver_net
