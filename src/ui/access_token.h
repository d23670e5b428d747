// The secret that guards the browser view's local server: a random token
// that is part of every address the server answers, so another user of the
// machine, or a web page the user visits, cannot reach the workbook through
// the loopback port without having been given the address.
//
// Any thread. new_access_token fails only when the system has no source of
// randomness, and then answers an error rather than a guessable token.
#pragma once

#include <string>
#include <string_view>

#include "common/status.h"

namespace quillo::ui {

// 32 random bytes from the system, as 64 lowercase hexadecimal digits.
Result<std::string> new_access_token();

// Whether given equals expected, taking the same time wherever the first
// difference lies (only the length may show), so the token cannot be
// found a character at a time by timing the answers.
bool same_token(std::string_view given, std::string_view expected);

}  // namespace quillo::ui
