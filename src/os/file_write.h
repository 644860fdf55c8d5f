// Writing a whole file in one go through the platform's own file calls, with the reason of a failure
// as an errno value. A new file is created exclusively: the name is taken by the system in the same
// step that creates it, so that two writers (two threads, two processes) never share one file.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string_view>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fcp::os {

enum class FileCreation {
  kReplace,  // create, or truncate what is there
  kNew,      // create only; EEXIST when the name is taken
};

// 0 when all of `bytes` were written and the file closed, otherwise the errno value of the step that
// failed. Never throws.
inline int WriteWholeFile(const std::filesystem::path& path, std::string_view bytes, FileCreation creation) {
#ifdef _WIN32
  const int flags = _O_WRONLY | _O_CREAT | _O_BINARY | (creation == FileCreation::kNew ? _O_EXCL : _O_TRUNC);
  const int fd = _wopen(path.c_str(), flags, _S_IREAD | _S_IWRITE);
  if (fd < 0) return errno;
  int error = 0;
  while (!bytes.empty()) {
    const int chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<int>(bytes.size());
    const int written = _write(fd, bytes.data(), static_cast<unsigned>(chunk));
    if (written <= 0) {
      error = written < 0 ? errno : EIO;
      break;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  if (_close(fd) != 0 && error == 0) error = errno;
  return error;
#else
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (creation == FileCreation::kNew ? O_EXCL : O_TRUNC);
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  int error = 0;
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = written < 0 ? errno : EIO;
      break;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
#endif
}

}  // namespace fcp::os
