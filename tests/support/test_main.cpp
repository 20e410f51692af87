// The tests' main: runs the tests, then waits for the library's threads that
// outlive their objects (a stopped child's monitor is still reaping it) to
// end. The leak check at exit scans only the threads it manages to stop, so
// a thread still ending could be taken for a leak of what it holds; and a
// thread that never ends is a fault of its own.
#include <chrono>
#include <cstdio>

#include <gtest/gtest.h>

#include "platform/counted_threads.hpp"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // Longer than a stopped child's grace before it is killed.
  if (!velmora::platform::waitForCountedThreads(std::chrono::seconds(30))) {
    std::fprintf(stderr, "a thread of the library was still running 30 s after the tests\n");
    return 1;
  }
  return result;
}
