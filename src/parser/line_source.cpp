// Opening and reading log files for the block reader.
#include "parser/line_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestro::detail {

long read_some(int fd, char* into, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, into, size);
        if (n >= 0) return long(n);
        if (errno != EINTR) return -long(errno);
    }
}

open_file::open_file(const std::filesystem::path& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) errno_ = errno;
}

open_file::~open_file() {
    if (fd_ >= 0) ::close(fd_);
}

sdk_error open_file::error() const {
    return sdk_error::io(io_error::from_errno(errno_));
}

std::size_t open_file::expected_size() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 && st.st_size > 0 ? std::size_t(st.st_size) : 0;
}

}  // namespace kestro::detail
