// POSIX file access for the engine. Reads and writes retry on EINTR and on
// short transfers; locks are open-file-description locks, which belong to
// this open of the file rather than to the process, so two opens in one
// process exclude each other as two processes do.
#include "cfb/file_io.h"

#include "text/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora::cfb {

IoCounters& ioCounters() {
  static IoCounters counters;
  return counters;
}

HRESULT hresultFromErrno(int err, bool writing) {
  switch (err) {
    case ENOENT: return STG_E_FILENOTFOUND;
    case ENOTDIR:
    case ENAMETOOLONG: return STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return STG_E_ACCESSDENIED;
    case EMFILE:
    case ENFILE: return STG_E_TOOMANYOPENFILES;
    case ENOMEM: return STG_E_INSUFFICIENTMEMORY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return STG_E_MEDIUMFULL;
    case EAGAIN: return STG_E_LOCKVIOLATION;
    default: return writing ? STG_E_WRITEFAULT : STG_E_READFAULT;
  }
}

std::string pathToUtf8(const char16_t* p) { return text::utf8FromUtf16(p ? p : u""); }

namespace {

class PosixFile final : public File {
 public:
  PosixFile(int fd, std::string path, bool write, Disposition disposition)
      : m_fd(fd), m_path(std::move(path)), m_write(write), m_disposition(disposition) {}
  ~PosixFile() override { ::close(m_fd); }  // not retried: the descriptor is gone either way

  Result<size_t> readAt(uint64_t offset, std::span<uint8_t> out) override {
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = ::pread(m_fd, out.data() + done, out.size() - done, off_t(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return base::makeError(hresultFromErrno(errno, false), "pread at %llu: %s",
                               (unsigned long long)(offset + done), std::strerror(errno));
      }
      if (n == 0) break;
      done += size_t(n);
    }
    ioCounters().bytesRead += done;
    ioCounters().reads++;
    return done;
  }

  Result<void> writeAt(uint64_t offset, std::span<const uint8_t> data) override {
    m_sizeKnown = false;
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::pwrite(m_fd, data.data() + done, data.size() - done, off_t(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return base::makeError(hresultFromErrno(errno, true), "pwrite at %llu: %s",
                               (unsigned long long)(offset + done), std::strerror(errno));
      }
      // A write that takes nothing and reports no error would be retried
      // forever; no progress is a fault.
      if (n == 0)
        return base::makeError(STG_E_WRITEFAULT, "pwrite at %llu wrote nothing",
                               (unsigned long long)(offset + done));
      done += size_t(n);
    }
    ioCounters().bytesWritten += done;
    ioCounters().writes++;
    return {};
  }

  Result<void> sync() override {
    ioCounters().syncs++;
    while (::fsync(m_fd) != 0) {
      if (errno == EINTR) continue;
      return base::makeError(hresultFromErrno(errno, true), "fsync: %s", std::strerror(errno));
    }
    return {};
  }

  Result<uint64_t> size() override {
    if (m_sizeKnown) {
      m_sizeKnown = false;
      return m_size;
    }
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
      return base::makeError(hresultFromErrno(errno, false), "fstat: %s", std::strerror(errno));
    return uint64_t(st.st_size);
  }

  Result<void> extend(uint64_t newSize) override {
    ASSIGN(current, size());
    if (newSize <= current) return {};
    while (::ftruncate(m_fd, off_t(newSize)) != 0) {
      if (errno == EINTR) continue;
      return base::makeError(hresultFromErrno(errno, true), "ftruncate to %llu: %s",
                             (unsigned long long)newSize, std::strerror(errno));
    }
    return {};
  }

  Result<void> discard() override {
    m_sizeKnown = false;
    while (::ftruncate(m_fd, 0) != 0) {
      if (errno == EINTR) continue;
      return base::makeError(hresultFromErrno(errno, true), "ftruncate: %s", std::strerror(errno));
    }
    return {};
  }

  Result<void> requireRegular(bool keepSize) override {
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
      return base::makeError(hresultFromErrno(errno, m_write), "fstat %s: %s", m_path.c_str(),
                             std::strerror(errno));
    if (S_ISDIR(st.st_mode))
      return base::makeError(STG_E_ACCESSDENIED, "%s is a directory", m_path.c_str());
    if (!S_ISREG(st.st_mode))
      return base::makeError(STG_E_FILEALREADYEXISTS, "%s is not a regular file", m_path.c_str());
    // Windows refuses to open a read-only file for writing; a process with
    // privileges here would succeed, so test the mode bits ourselves.
    if (m_write && m_disposition != Disposition::CreateNew && (st.st_mode & 0222) == 0)
      return base::makeError(STG_E_ACCESSDENIED, "%s is read-only", m_path.c_str());
    m_size = uint64_t(st.st_size);
    m_sizeKnown = keepSize;
    m_device = uint64_t(st.st_dev);
    m_inode = uint64_t(st.st_ino);
    m_identified = true;
    return {};
  }

  bool identity(uint64_t* device, uint64_t* inode) const override {
    *device = m_device;
    *inode = m_inode;
    return m_identified;
  }

  Result<bool> tryLock(uint64_t offset, bool exclusive) override {
    return setLock(offset, 1, exclusive ? F_WRLCK : F_RDLCK);
  }
  Result<bool> tryLockRange(uint64_t first, uint64_t last) override {
    return setLock(first, last - first + 1, F_RDLCK);
  }

  Result<bool> heldByOthers(uint64_t offset, bool exclusive) override {
    return testLock(offset, 1, exclusive ? F_WRLCK : F_RDLCK);
  }
  Result<bool> heldByOthersInRange(uint64_t first, uint64_t last) override {
    return testLock(first, last - first + 1, F_WRLCK);
  }

  void unlock(uint64_t offset) override { unlockRange(offset, offset); }
  void unlockRange(uint64_t first, uint64_t last) override {
    struct flock fl = lockRecord(first, last - first + 1, F_UNLCK);
    while (::fcntl(m_fd, F_OFD_SETLK, &fl) != 0 && errno == EINTR) {
    }
  }

 private:
  Result<bool> setLock(uint64_t offset, uint64_t length, short type) {
    struct flock fl = lockRecord(offset, length, type);
    while (::fcntl(m_fd, F_OFD_SETLK, &fl) != 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EACCES) return false;
      return base::makeError(hresultFromErrno(errno, false), "lock at %llu: %s",
                             (unsigned long long)offset, std::strerror(errno));
    }
    return true;
  }

  Result<bool> testLock(uint64_t offset, uint64_t length, short type) {
    struct flock fl = lockRecord(offset, length, type);
    while (::fcntl(m_fd, F_OFD_GETLK, &fl) != 0) {
      if (errno == EINTR) continue;
      return base::makeError(hresultFromErrno(errno, false), "lock test at %llu: %s",
                             (unsigned long long)offset, std::strerror(errno));
    }
    return fl.l_type != F_UNLCK;
  }

  static struct flock lockRecord(uint64_t offset, uint64_t length, short type) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = off_t(offset);
    fl.l_len = off_t(length);
    fl.l_pid = 0;  // required by OFD locks
    return fl;
  }
  int m_fd;
  std::string m_path;
  bool m_write;
  Disposition m_disposition;
  uint64_t m_size = 0;
  bool m_sizeKnown = false;
  uint64_t m_device = 0, m_inode = 0;
  bool m_identified = false;
};

}  // namespace

Result<std::unique_ptr<File>> openPosixFileUnchecked(const std::string& path, bool write,
                                                     Disposition disposition) {
  // O_NONBLOCK: a FIFO, a terminal or a device named like a document must
  // not hold the open; it changes nothing for a regular file. Only regular
  // files are taken (requireRegular), decided on the descriptor itself, so
  // nothing can be swapped in between the test and the reads.
  int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (disposition == Disposition::CreateNew) flags |= O_CREAT | O_EXCL;
  if (disposition == Disposition::OpenOrCreate) flags |= O_CREAT;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    HRESULT hr = err == EEXIST ? STG_E_FILEALREADYEXISTS : hresultFromErrno(err, write);
    // A socket answers ENXIO, a FIFO opened for writing with no reader too:
    // neither is a document.
    if (err == ENXIO || err == ENODEV || err == EOPNOTSUPP) hr = STG_E_FILEALREADYEXISTS;
    if (hr == STG_E_FILENOTFOUND) {
      // A missing folder on the way is a missing path, not a missing file.
      auto slash = path.rfind('/');
      if (slash != std::string::npos && slash > 0) {
        struct stat st;
        if (::stat(path.substr(0, slash).c_str(), &st) != 0) hr = STG_E_PATHNOTFOUND;
      }
    }
    return base::makeError(hr, "open %s: %s", path.c_str(), std::strerror(err));
  }
  return std::unique_ptr<File>(new PosixFile(fd, path, write, disposition));
}

Result<std::unique_ptr<File>> openPosixFile(const std::string& path, bool write,
                                            Disposition disposition) {
  ASSIGN(file, openPosixFileUnchecked(path, write, disposition));
  TRY(file->requireRegular(false));
  return file;
}

Result<size_t> MemoryFile::readAt(uint64_t offset, std::span<uint8_t> out) {
  if (offset >= m_bytes.size()) return size_t(0);
  size_t n = std::min<uint64_t>(out.size(), m_bytes.size() - offset);
  std::memcpy(out.data(), m_bytes.data() + offset, n);
  ioCounters().bytesRead += n;
  return n;
}

Result<void> MemoryFile::writeAt(uint64_t offset, std::span<const uint8_t> data) {
  if (offset + data.size() > m_bytes.size()) m_bytes.resize(offset + data.size());
  std::memcpy(m_bytes.data() + offset, data.data(), data.size());
  ioCounters().bytesWritten += data.size();
  return {};
}

Result<void> MemoryFile::extend(uint64_t newSize) {
  if (newSize > m_bytes.size()) m_bytes.resize(newSize);
  return {};
}

}  // namespace velmora::cfb
