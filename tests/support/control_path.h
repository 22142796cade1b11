// The control socket path is one for the whole machine, and test programs run side by
// side. A test that puts a daemon (real or scripted) on the path holds ControlPathLock;
// every vexa a test starts holds the same lock shared while it runs (start_program takes
// it), so that no player of another test program reports to a daemon not meant for it.
#pragma once

#include <sys/un.h>

// Exclusive hold of the path for the lifetime of the object. Players this process starts
// meanwhile run under it and take nothing more.
class ControlPathLock {
  public:
    ControlPathLock();
    ~ControlPathLock();
    ControlPathLock(const ControlPathLock&) = delete;
    ControlPathLock& operator=(const ControlPathLock&) = delete;
    bool held() const { return fd_ >= 0 || nested_; }

  private:
    int fd_ = -1;
    bool nested_ = false; // another object of this process holds the path
};

// Shared hold for one player run: a descriptor to close when it has ended, or -1 when
// nothing was taken (this process holds the path already, or the lock file is unusable).
int control_path_share();

// Address of the control socket path.
sockaddr_un control_address();

// True when something accepts connections on the control socket path.
bool daemon_on_path();
