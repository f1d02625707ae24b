// Slows password guessing over the network. A password check is deliberately expensive, but a
// server still answers tens of guesses a second for one user; after a few failed logins for one
// user from one address, further attempts from there are refused unchecked until a delay has
// passed, the delay doubling with each further failure up to a cap. A success forgets the
// failures, and so does a quiet spell.
//
// Refusing rather than sleeping keeps no worker waiting (sleeping attempts would let a few
// connections hold every worker), and keying on the address as well as the user keeps a guesser
// elsewhere from locking the user out. The key is the user id as typed, folded to lower case as
// logins are matched, whether or not such a login exists: slowing only known users would tell a
// guesser which ids exist.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace mdserver_net {

struct LoginThrottleSettings {
  int freeFailures = 10;  // failures in a row that cost nothing; 0 turns the throttle off
  std::chrono::seconds firstDelay{1};
  std::chrono::seconds maxDelay{60};
  std::chrono::seconds forgetAfter{15 * 60};  // a key without a failure for this long starts over
  size_t maxKeys = 16384;                     // beyond it the least recently used key goes
};

class LoginThrottle {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit LoginThrottle(LoginThrottleSettings settings = {},
                         Clock clock = [] { return std::chrono::steady_clock::now(); });

  // Zero when an attempt may be checked now (and, while the key is being slowed, takes the one
  // slot the delay allows, so attempts sent at once are not all checked); otherwise how long the
  // asker must wait, rounded up to whole seconds.
  std::chrono::seconds admit(std::string_view user, std::string_view address);
  void failed(std::string_view user, std::string_view address);
  void succeeded(std::string_view user, std::string_view address);

  size_t keys() const;

 private:
  struct Entry {
    int failures = 0;
    std::chrono::steady_clock::time_point lastFailure{};
    std::chrono::steady_clock::time_point nextAllowed{};
    std::list<std::string>::iterator recency;
  };
  std::string keyOf(std::string_view user, std::string_view address) const;
  std::chrono::steady_clock::duration delayAfter(int failures) const;
  void touch(Entry& entry);

  LoginThrottleSettings settings_;
  Clock clock_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> recency_;  // most recently used first
};

}  // namespace mdserver_net
