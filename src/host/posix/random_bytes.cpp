#include "host/random_bytes.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace quillo::host {

Status fill_random_bytes(unsigned char* out, std::size_t size) {
  std::size_t got = 0;
  // Large requests may come back short or be interrupted by a signal.
  while (got < size) {
    const ssize_t n = getrandom(out + got, size - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::failed(std::string("no random numbers from the system: ") +
                            std::strerror(errno));
    }
    got += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace quillo::host
