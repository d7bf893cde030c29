// The preloaded simulated camera's state, reached from the interposed C library calls.
#pragma once

namespace camsim {

int preload_open(const char* path, int flags, unsigned mode, bool large_file);
int preload_ioctl(int fd, unsigned long request, void* arg);
int preload_close(int fd);

}  // namespace camsim
