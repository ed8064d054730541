#include "NerivaneKit/platform/UniqueFd.h"

#include <unistd.h>

namespace nerivane {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

}  // namespace nerivane
