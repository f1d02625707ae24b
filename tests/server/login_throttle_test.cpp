// The login throttle with a clock the test moves: who is slowed, for how long, and what it
// forgets. (The server's use of it is tested through the wire in server_test.)
#include "server/login_throttle.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using mdserver_net::LoginThrottle;
using mdserver_net::LoginThrottleSettings;
using std::chrono::seconds;

struct FakeClock {
  std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};
  LoginThrottle::Clock clock() {
    return [this] { return now; };
  }
};

LoginThrottleSettings settings(int freeFailures) {
  LoginThrottleSettings s;
  s.freeFailures = freeFailures;
  s.firstDelay = seconds(1);
  s.maxDelay = seconds(8);
  s.forgetAfter = seconds(600);
  return s;
}

TEST(LoginThrottle, SlowsAfterTheFreeFailuresDoublingUpToTheCapOneAttemptPerDelay) {
  FakeClock time;
  LoginThrottle throttle(settings(3), time.clock());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(throttle.admit("ada", "10.0.0.1"), seconds(0)) << "failure " << i;
    throttle.failed("ada", "10.0.0.1");
  }
  EXPECT_EQ(throttle.admit("ada", "10.0.0.1"), seconds(1));
  time.now += std::chrono::milliseconds(400);
  EXPECT_EQ(throttle.admit("ada", "10.0.0.1"), seconds(1)) << "rounded up, never 0 while waiting";
  time.now += std::chrono::milliseconds(600);
  // Two attempts sent together: the first is checked, the second waits a whole delay again.
  EXPECT_EQ(throttle.admit("ada", "10.0.0.1"), seconds(0));
  EXPECT_EQ(throttle.admit("ada", "10.0.0.1"), seconds(1));
  throttle.failed("ada", "10.0.0.1");
  const int expected[] = {2, 4, 8, 8, 8};
  for (int want : expected) {
    EXPECT_EQ(throttle.admit("ada", "10.0.0.1"), seconds(want));
    time.now += seconds(want);
    EXPECT_EQ(throttle.admit("ada", "10.0.0.1"), seconds(0));
    throttle.failed("ada", "10.0.0.1");
  }
}

TEST(LoginThrottle, ASuccessOrAQuietSpellForgetsTheFailures) {
  FakeClock time;
  LoginThrottle throttle(settings(2), time.clock());
  throttle.failed("ada", "a");
  throttle.failed("ada", "a");
  EXPECT_GT(throttle.admit("ada", "a"), seconds(0));
  time.now += seconds(1);
  EXPECT_EQ(throttle.admit("ada", "a"), seconds(0));
  throttle.succeeded("ada", "a");
  throttle.failed("ada", "a");
  EXPECT_EQ(throttle.admit("ada", "a"), seconds(0)) << "one failure after a success is free";
  EXPECT_EQ(throttle.keys(), 1u);

  throttle.failed("bob", "a");
  throttle.failed("bob", "a");
  time.now += seconds(599);
  throttle.failed("bob", "a");  // within the spell: the count goes on
  EXPECT_EQ(throttle.admit("bob", "a"), seconds(2));
  time.now += seconds(600);
  EXPECT_EQ(throttle.admit("bob", "a"), seconds(0));
  throttle.failed("bob", "a");
  EXPECT_EQ(throttle.admit("bob", "a"), seconds(0)) << "after the spell the count starts over";
}

TEST(LoginThrottle, KeysAreCaseBlindUsersAtOneAddressWhetherOrNotTheUserExists) {
  FakeClock time;
  LoginThrottle throttle(settings(2), time.clock());
  throttle.failed("Ada", "10.0.0.1");
  throttle.failed("ADA", "10.0.0.1");
  EXPECT_GT(throttle.admit("ada", "10.0.0.1"), seconds(0)) << "case variants are one login";
  EXPECT_EQ(throttle.admit("ada", "10.0.0.2"), seconds(0)) << "a guesser elsewhere locks nobody out";
  EXPECT_EQ(throttle.admit("bob", "10.0.0.1"), seconds(0));
  // The user and the address cannot be shifted into each other.
  throttle.failed("ad", "a10.0.0.9");
  throttle.failed("ad", "a10.0.0.9");
  EXPECT_EQ(throttle.admit("ada", "10.0.0.9"), seconds(0));
  EXPECT_GT(throttle.admit("ad", "a10.0.0.9"), seconds(0));
}

TEST(LoginThrottle, KeepsNoMoreKeysThanItsLimitAndCanBeTurnedOff) {
  FakeClock time;
  LoginThrottleSettings bounded = settings(1);
  bounded.maxKeys = 100;
  LoginThrottle throttle(bounded, time.clock());
  for (int i = 0; i < 5000; ++i) throttle.failed("guess" + std::to_string(i), "10.0.0.1");
  EXPECT_EQ(throttle.keys(), 100u);
  EXPECT_GT(throttle.admit("guess4999", "10.0.0.1"), seconds(0)) << "the newest key is kept";
  EXPECT_EQ(throttle.admit("guess0", "10.0.0.1"), seconds(0));

  LoginThrottle off(settings(0), time.clock());
  for (int i = 0; i < 50; ++i) off.failed("ada", "a");
  EXPECT_EQ(off.admit("ada", "a"), seconds(0));
  EXPECT_EQ(off.keys(), 0u);
}

}  // namespace
