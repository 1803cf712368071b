#include "socket_listener.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace hostuser {

namespace {

std::string Directory(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
}

bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when something accepts connections on the path.
bool SomeoneListens(const sockaddr_un& address) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return live;
}

}  // namespace

SocketListener::~SocketListener() { Close(); }

bool SocketListener::Open(const std::string& path, std::string* error, bool* replacedStale) {
    if (replacedStale != nullptr) *replacedStale = false;
    sockaddr_un address;
    if (path.empty() || !MakeAddress(path, address)) return Fail(error, "socket path is empty or too long: " + path);

    // The directory: created private when missing; when it is ours it must
    // stay private (nobody else may replace the socket in it).
    std::string directory = Directory(path);
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0) {
        if (errno != ENOENT || ::mkdir(directory.c_str(), 0700) != 0 || ::lstat(directory.c_str(), &st) != 0) {
            return Fail(error, "cannot create the socket directory " + directory + ": " + std::strerror(errno));
        }
    }
    if (!S_ISDIR(st.st_mode)) return Fail(error, directory + " is not a directory");
    // Nobody else may be able to replace the socket: the directory belongs
    // to this user (or root) and others can not remove entries from it.
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        return Fail(error, "the socket directory " + directory + " belongs to another user");
    }
    if ((st.st_mode & 0022) != 0 && (st.st_mode & S_ISVTX) == 0) {
        return Fail(error, "the socket directory " + directory + " is writable by other users");
    }

    // One notebook per socket: the lock is released by the kernel when the
    // holder exits, however it exits.
    std::string lockPath = path + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) return Fail(error, "cannot open " + lockPath + ": " + std::strerror(errno));
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd_);
        lockFd_ = -1;
        return Fail(error, "another notebook is already serving on " + path);
    }

    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            Close();
            return Fail(error, path + " exists and is not a socket");
        }
        if (SomeoneListens(address)) {
            Close();
            return Fail(error, "another notebook is already serving on " + path);
        }
        // Left behind by a notebook that is gone: connecting failed.
        if (::unlink(path.c_str()) != 0) {
            Close();
            return Fail(error, "cannot remove the stale socket " + path + ": " + std::strerror(errno));
        }
        if (replacedStale != nullptr) *replacedStale = true;
    }

    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        Close();
        return Fail(error, std::string("socket: ") + std::strerror(errno));
    }
    // Created 0600 from the start: no moment in which others may connect.
    mode_t oldMask = ::umask(0177);
    int bound = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int bindError = errno;
    ::umask(oldMask);
    if (bound != 0) {
        Close();
        return Fail(error, "cannot bind " + path + ": " + std::strerror(bindError));
    }
    ::chmod(path.c_str(), 0600);
    if (::lstat(path.c_str(), &st) == 0) inode_ = st.st_ino;
    path_ = path;
    if (::listen(fd_, 64) != 0) {
        int listenError = errno;
        Close();
        return Fail(error, "cannot listen on " + path + ": " + std::strerror(listenError));
    }
    return true;
}

int SocketListener::Accept() {
    for (;;) {
        if (closing_) return -1;
        int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            ::usleep(10000);  // out of resources for now: try again shortly
            continue;
        }
        return -1;
    }
}

void SocketListener::Shutdown() {
    closing_ = true;
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);  // wakes a thread blocked in accept
}

void SocketListener::Close() {
    Shutdown();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        // Remove the socket only if it is still the one this listener made.
        struct stat st {};
        if (!path_.empty() && ::lstat(path_.c_str(), &st) == 0 && st.st_ino == inode_) ::unlink(path_.c_str());
    }
    // The lock file stays: removing it would let a second notebook lock a
    // fresh file while a third still holds the old one.
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

}  // namespace hostuser
