// The harness itself: console capture, R evaluation and error containment,
// which every other native test relies on.

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

#include <R.h>

TEST(Harness, CapturesOutputAndErrorConsolesSeparately) {
  console_clear();
  Rprintf("to output %d\n", 1);
  REprintf("to error %d\n", 2);
  r_eval("cat('from R\\n'); message('note from R')");
  EXPECT_EQ(console_out(), "to output 1\nfrom R\n");
  EXPECT_EQ(console_err(), "to error 2\nnote from R\n");
  console_clear();
  EXPECT_EQ(console_out(), "");
  EXPECT_EQ(console_err(), "");
}

TEST(Harness, REvaluationAndErrorContainment) {
  EXPECT_EQ(r_eval_real("x <- 2; x * 21"), 42.0);
  EXPECT_THROW(r_eval("stop('boom')"), std::runtime_error);
  EXPECT_THROW(r_eval("1 +"), std::runtime_error);

  console_clear();
  bool ok = r_toplevel([] { Rf_error("native failure %d", 7); });
  EXPECT_FALSE(ok);
  EXPECT_NE(console_err().find("native failure 7"), std::string::npos);
  EXPECT_TRUE(r_toplevel([] {}));
  // R is still usable afterwards.
  EXPECT_EQ(r_eval_real("1 + 1"), 2.0);
}
