// Random bytes from the operating system's cryptographically secure
// generator, for secrets such as the browser view's access token.
//
// Implemented per platform (host/posix/random_bytes.cpp with getrandom,
// host/windows/random_bytes.cpp with BCryptGenRandom). Any thread.
#pragma once

#include <cstddef>

#include "common/status.h"

namespace quillo::host {

// Fills all size bytes at out, or fails saying why (the bytes are then
// unspecified and must not be used). A size of 0 succeeds.
Status fill_random_bytes(unsigned char* out, std::size_t size);

}  // namespace quillo::host
