#pragma once

#include <string>

#include <gtest/gtest.h>

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::testing {

// The message of the `Failure` that `action` throws; fails the test when it throws none.
template <class Failure = Error, class Action>
std::string failureText(Action&& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return failure.what();
  }
  ADD_FAILURE() << "no failure was thrown";
  return "";
}

}  // namespace tolmi_gcp::testing
