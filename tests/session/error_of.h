// The session error a call throws, for tests that expect one.
#pragma once

#include <gtest/gtest.h>

#include "quorvalen/session.h"

namespace quorvalen {

template <typename Call>
SessionError ErrorOf(Call call) {
  try {
    call();
  } catch (const SessionError& e) {
    return e;
  }
  ADD_FAILURE() << "no error";
  return SessionError(SessionErrorKind::kClosed, "none");
}

}  // namespace quorvalen
