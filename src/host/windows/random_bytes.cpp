// Random bytes on Windows (see host/random_bytes.h): the system's preferred
// generator through BCryptGenRandom.
#include <windows.h>

#include <bcrypt.h>  // after windows.h, whose types it uses

#include "host/random_bytes.h"

#include <algorithm>
#include <cstdio>

namespace quillo::host {

Status fill_random_bytes(unsigned char* out, std::size_t size) {
  // BCryptGenRandom takes a ULONG count: larger requests go in pieces.
  constexpr std::size_t kPiece = 1u << 30;
  for (std::size_t done = 0; done < size;) {
    const std::size_t n = std::min(size - done, kPiece);
    const NTSTATUS st = BCryptGenRandom(nullptr, out + done, static_cast<ULONG>(n),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(st)) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(st));
      return Status::failed(std::string("no random numbers from the system: BCryptGenRandom ") +
                            code);
    }
    done += n;
  }
  return {};
}

}  // namespace quillo::host
