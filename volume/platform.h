// The few host calls that differ between the systems the tools run on, and
// the one place every volume write passes through.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Take an exclusive advisory lock on fd without waiting: 0 when taken, 1 when
// another process holds one, -1 when the file system offers no locks.
int platform_lock_exclusive(int fd);

// Flush the file's data to the device; 0 on success.
int platform_sync(int fd);

// Flush the file's data, and only the metadata needed to read it back, to the
// device: the barrier between two ordered steps of a change; 0 on success.
int platform_datasync(int fd);

// Copy up to len bytes from offset in_off of file in to file out, at
// out_off or, when out_off is negative, at out's offset, inside the kernel:
// the bytes copied, or -1 when the host cannot.
long platform_copy_range(int in, long long in_off, int out, long long out_off, std::size_t len);

// 1 when fd is a device the kernel reports read-only (a write-protected card,
// a read-only loop device), else 0; opening such a device for writing works
// but every write fails.
int platform_device_readonly(int fd);

// Write len bytes of buf at off of the volume: what pwrite returns. In a
// build for the fault tests (ZVK_FAULTS) the plan in the environment applies:
//   ZVK_FAULT_KILL=N   the process is killed (SIGKILL) right before write N
//   ZVK_FAULT_FAIL=N[:C]  writes N to N+C-1 fail with EIO (C defaults to 1)
//   ZVK_FAULT_SHORT=N  write N writes half of its bytes and says so
//   ZVK_FAULT_LOG=PATH every write ('W', offset, length, bytes) and barrier
//                      ('B') is appended to PATH; numbers are 8-byte
//                      little-endian
// Writes are counted from 1, each call once.
ssize_t platform_pwrite(int fd, const void* buf, std::size_t len, off_t off);
