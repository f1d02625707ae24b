// Reading seed files; contract in seed_json.h.
#include "mdserver/model/seed_json.h"

#include <string>

namespace mdserver::seed_json {

std::string location(std::string_view text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::to_string(line) + ":" + std::to_string(column);
}

const Json& member(const Json& object, const char* key, const std::string& pointer) {
  if (!object.is_object()) throw SeedProblem{pointer, "expected an object"};
  auto found = object.find(key);
  if (found == object.end()) {
    throw SeedProblem{pointer, std::string("missing member \"") + key + "\""};
  }
  return *found;
}

std::string text(const Json& value, const std::string& pointer) {
  if (!value.is_string()) throw SeedProblem{pointer, "expected a string"};
  return value.get<std::string>();
}

std::string optionalText(const Json& object, const char* key, const std::string& pointer) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return {};
  return text(*found, pointer + "/" + key);
}

// An identifier is given or left out; an empty one is a mistake, not a request for a new one.
std::string optionalIdentifier(const Json& object, const std::string& pointer) {
  std::string id = optionalText(object, "id", pointer);
  if (id.empty() && object.contains("id") && !object["id"].is_null()) {
    throw SeedProblem{pointer + "/id",
                      "an identifier is empty; leave \"id\" out to have one generated"};
  }
  return id;
}


// Attribute and association names may not be empty. (One name given twice in two spellings is
// one name: the attribute keeps the last value, the association both lists; programs rely on it.)
void checkNames(const Json& members, const std::string& pointer, const char* what) {
  for (const auto& [name, value] : members.items()) {
    if (name.empty()) throw SeedProblem{pointer + "/", std::string("an ") + what + " name is empty"};
  }
}

void failOn(const Outcome& outcome, const std::string& pointer) {
  if (!outcome.ok()) throw SeedProblem{pointer, outcome.message};
}

size_t firstTooDeep(std::string_view text, size_t limit) {
  size_t depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return i;
    } else if (c == ']' || c == '}') {
      if (depth > 0) --depth;
    }
  }
  return text.size();
}

}  // namespace mdserver::seed_json
