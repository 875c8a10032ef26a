#pragma once

#include <unistd.h>

namespace vantrel::platform {

// Owns a file descriptor and closes it when it goes out of scope; -1 owns nothing.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    // Closes what it owned and owns `fd` from now on.
    void reset(int fd) {
        close();
        fd_ = fd;
    }

  private:
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int fd_;
};

}  // namespace vantrel::platform
