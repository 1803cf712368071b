// The listening socket of the user-mode server, with the checks that keep it
// private and unique: a 0700 directory it creates when missing, mode 0600 on
// the socket, and an exclusive lock on PATH.lock for as long as it listens.
#pragma once

#include <atomic>
#include <string>

#include <sys/types.h>

namespace hostuser {

class SocketListener {
public:
    SocketListener() = default;
    ~SocketListener();
    SocketListener(const SocketListener&) = delete;
    SocketListener& operator=(const SocketListener&) = delete;

    // False with *error when another notebook serves on the path, the path is
    // taken by something that is not a socket, or the directory is not
    // private to this user. *replacedStale tells that a socket left by a
    // notebook that is gone was replaced.
    bool Open(const std::string& path, std::string* error, bool* replacedStale);
    // The next connection, or -1 once Close has been called.
    int Accept();
    // Makes a blocked Accept return -1; the socket stays until Close.
    void Shutdown();
    // Closes and removes the socket (after the accepting thread has left
    // Accept) and gives up the lock.
    void Close();

private:
    std::string path_;
    int fd_ = -1;
    int lockFd_ = -1;
    ino_t inode_ = 0;
    std::atomic<bool> closing_{false};
};

}  // namespace hostuser
