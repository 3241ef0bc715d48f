// The few calls through which the receiver changes a file: write, write at a
// place, cut, rename, sync. Each retries what a signal interrupted and says
// only whether it worked (errno tells why not). Every file it keeps (records,
// command files, queues, the devices list) is written through them, so a
// failing disk, and the tests' shim that plays one, reach each file alike.
#pragma once
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

namespace ql {

// The whole of bytes at the file's position; written says how much went
// (also when it failed part way).
bool write_all(int fd, const void* bytes, std::size_t len, std::size_t* written = nullptr);

// The whole of bytes at a place.
bool write_all_at(int fd, const void* bytes, std::size_t len, off_t at);

// Parts written together at a place, in one call where the kernel takes them
// whole; written says how much went.
bool write_parts_at(int fd, const iovec* parts, int count, off_t at, std::size_t& written);

// Up to len bytes from a place; fewer only at the file's end. -1 on an error.
ssize_t read_all_at(int fd, void* out, std::size_t len, off_t at);

bool cut_file(int fd, off_t len);

bool rename_file(const char* from, const char* to);

// Everything written to the file system that holds the directory.
bool sync_files(int directory_fd);

}  // namespace ql
