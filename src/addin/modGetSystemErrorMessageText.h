// GetSystemErrorMessageText: the system's message text for an error code.
//
// Error codes are numbered as the Windows error codes the registry module
// reports (2 file not found, 5 access denied, 234 more data, ...); those get
// the familiar texts. Any other code is taken as a C library errno value and
// gets strerror's text. For a code with no text at all, the sink is shown a
// message naming the code and the result is empty. On Windows the texts are
// the system's own (host/system_error_text.h), and a code without one reads
// "error N (0xHHHHHHHH)". Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "host/registry_store.h"

namespace quillo::addin {

using host::WarningSink;
using host::windows_error_from_errno;

std::string GetSystemErrorMessageText(std::int32_t code, const WarningSink& show = {});

}  // namespace quillo::addin
