// The control interface's own system calls: a Unix stream socket at a path, and plain reads and
// writes on control connections (standard input and output, socket clients). Everything else the
// simulator does with the system goes through platform/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nvsim::io {

// A listening, non-blocking socket at path (an old socket file there is replaced); -1 with a
// message on failure.
int listen_unix(const std::string& path, std::string& error);
// A waiting client as a non-blocking descriptor, or -1.
int accept_client(int listener);
// A blocking client connection (tests and tools), or -1.
int connect_unix(const std::string& path);
void remove_path(const std::string& path);

// The count read, 0 at end of input, -1 for nothing now, -2 for a failure.
long read_some(int fd, char* data, std::size_t size);
// Writes everything, waiting as needed; false when the reader has gone.
bool write_all(int fd, const std::string& text);
void close_fd(int fd);

} // namespace nvsim::io
