// The tests' main: GoogleTest's, but a failed assertion is shown on the real
// standard output even while a StdCapture holds it, rather than written into
// the capture with the text under test, where nobody would see it.
#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

// Called just before the printer: points the standard output at the real one.
class ToRealStdout : public testing::EmptyTestEventListener {
  public:
    void OnTestPartResult(const testing::TestPartResult &) override {
        const int real = zortest::StdCapture::realOut();
        if (real >= 0) {
            fflush(stdout);
            captured_ = dup(STDOUT_FILENO);
            dup2(real, STDOUT_FILENO);
        }
    }
    // Called just after the printer: back into the capture.
    void restore() {
        if (captured_ >= 0) {
            fflush(stdout);
            dup2(captured_, STDOUT_FILENO);
            close(captured_);
            captured_ = -1;
        }
    }

  private:
    int captured_ = -1;
};

class BackToCapture : public testing::EmptyTestEventListener {
  public:
    explicit BackToCapture(ToRealStdout &to) : to_(to) {}
    void OnTestPartResult(const testing::TestPartResult &) override { to_.restore(); }

  private:
    ToRealStdout &to_;
};

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listeners hear of a result in the order they were added.
    testing::TestEventListeners &listeners = testing::UnitTest::GetInstance()->listeners();
    testing::TestEventListener *printer = listeners.Release(listeners.default_result_printer());
    auto *to = new ToRealStdout;  // the listeners own what is added
    listeners.Append(to);
    listeners.Append(printer);
    listeners.Append(new BackToCapture(*to));
    return RUN_ALL_TESTS();
}
