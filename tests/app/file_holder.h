#pragma once
// Another process that holds a file open (for reading or writing, and with a classic fcntl
// lock on the whole file if asked) from construction until destruction.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace quodra::test {

class TFileHolder {
 public:
  TFileHolder(const std::string& path, int flags, bool lock = false) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    Pid = ::fork();
    if (Pid == 0) {
      int fd = ::open(path.c_str(), flags);
      if (fd >= 0 && lock) {
        struct flock fl {};
        fl.l_type = (flags & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (::fcntl(fd, F_SETLK, &fl) != 0) fd = -1;
      }
      (void)!::write(ready[1], &fd, sizeof fd);
      ::pause();
      ::_exit(0);
    }
    int fd = -1;
    EXPECT_EQ(::read(ready[0], &fd, sizeof fd), static_cast<ssize_t>(sizeof fd));
    EXPECT_GE(fd, 0) << "the holder could not open or lock " << path;
    ::close(ready[0]);
    ::close(ready[1]);
  }
  ~TFileHolder() {
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
  }
  TFileHolder(const TFileHolder&) = delete;
  TFileHolder& operator=(const TFileHolder&) = delete;

 private:
  pid_t Pid;
};

}  // namespace quodra::test
