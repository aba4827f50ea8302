// UniqueFd owns one file descriptor and closes it when destroyed or reset.
// Header-only, so that every program and library of the project (the control
// tool included, which links almost nothing) shares the one definition.
//
//   UniqueFd sock(::socket(AF_INET, SOCK_STREAM, 0));
//   if (!sock) ...
//   if (sock.close() != 0) ...   // when the close's result matters
#pragma once

#include <unistd.h>

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up without closing it; the object then holds -1.
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the held descriptor (if any) and takes `fd` (-1: none).
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
  }

  // Closes now and returns the close's result (0, or -1 with errno); 0 when
  // nothing was held.
  int close() noexcept {
    int fd = release();
    return fd >= 0 ? ::close(fd) : 0;
  }

 private:
  int fd_ = -1;
};
