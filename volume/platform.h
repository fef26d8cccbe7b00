// The few host calls that differ between the systems the tools run on.
#pragma once

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
