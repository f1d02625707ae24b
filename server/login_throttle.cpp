#include "server/login_throttle.h"

#include <algorithm>

namespace mdserver_net {

using std::chrono::steady_clock;

LoginThrottle::LoginThrottle(LoginThrottleSettings settings, Clock clock)
    : settings_(settings), clock_(std::move(clock)) {}

std::string LoginThrottle::keyOf(std::string_view user, std::string_view address) const {
  std::string key;
  key.reserve(user.size() + address.size() + 1);
  for (char c : user) key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  key += '\0';  // no user id holds it, so no user/address pair reads as another
  key += address;
  return key;
}

steady_clock::duration LoginThrottle::delayAfter(int failures) const {
  const int over = failures - settings_.freeFailures;
  if (over < 0) return steady_clock::duration::zero();
  steady_clock::duration delay = settings_.firstDelay;
  for (int i = 0; i < over && delay < settings_.maxDelay; ++i) delay *= 2;
  return std::min<steady_clock::duration>(delay, settings_.maxDelay);
}

void LoginThrottle::touch(Entry& entry) {
  recency_.splice(recency_.begin(), recency_, entry.recency);
}

std::chrono::seconds LoginThrottle::admit(std::string_view user, std::string_view address) {
  if (settings_.freeFailures <= 0) return std::chrono::seconds::zero();
  std::lock_guard lock(mutex_);
  auto it = entries_.find(keyOf(user, address));
  if (it == entries_.end()) return std::chrono::seconds::zero();
  Entry& entry = it->second;
  const steady_clock::time_point now = clock_();
  if (now - entry.lastFailure >= settings_.forgetAfter) {
    recency_.erase(entry.recency);
    entries_.erase(it);
    return std::chrono::seconds::zero();
  }
  touch(entry);
  if (entry.failures < settings_.freeFailures) return std::chrono::seconds::zero();
  if (now < entry.nextAllowed) {
    return std::chrono::ceil<std::chrono::seconds>(entry.nextAllowed - now);
  }
  // This attempt takes the slot: another sent with it waits for the same delay again.
  entry.nextAllowed = now + delayAfter(entry.failures);
  return std::chrono::seconds::zero();
}

void LoginThrottle::failed(std::string_view user, std::string_view address) {
  if (settings_.freeFailures <= 0) return;
  std::lock_guard lock(mutex_);
  const steady_clock::time_point now = clock_();
  std::string key = keyOf(user, address);
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    recency_.push_front(key);
    it = entries_.emplace(std::move(key), Entry{}).first;
    it->second.recency = recency_.begin();
    while (entries_.size() > settings_.maxKeys) {
      entries_.erase(recency_.back());
      recency_.pop_back();
    }
  } else {
    touch(it->second);
    if (now - it->second.lastFailure >= settings_.forgetAfter) it->second.failures = 0;
  }
  Entry& entry = it->second;
  ++entry.failures;
  entry.lastFailure = now;
  entry.nextAllowed = std::max(entry.nextAllowed, now + delayAfter(entry.failures));
}

void LoginThrottle::succeeded(std::string_view user, std::string_view address) {
  if (settings_.freeFailures <= 0) return;
  std::lock_guard lock(mutex_);
  auto it = entries_.find(keyOf(user, address));
  if (it == entries_.end()) return;
  recency_.erase(it->second.recency);
  entries_.erase(it);
}

size_t LoginThrottle::keys() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace mdserver_net
