// LD_PRELOAD shim: counts the calls of malloc, calloc, realloc and the aligned
// forms, and writes the count at exit to the file named by QLFWD_ALLOC_COUNT
// (read by this shim only, never by qlfwd).
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

static std::atomic<unsigned long> calls{0};

extern "C" void* malloc(std::size_t size) {
    ++calls;
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t n, std::size_t size) {
    ++calls;
    return __libc_calloc(n, size);
}

extern "C" void* realloc(void* p, std::size_t size) {
    ++calls;
    return __libc_realloc(p, size);
}

extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
    ++calls;
    return __libc_memalign(alignment, size);
}

extern "C" void* memalign(std::size_t alignment, std::size_t size) {
    ++calls;
    return __libc_memalign(alignment, size);
}

extern "C" int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    ++calls;
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

extern "C" void free(void* p) { __libc_free(p); }

__attribute__((destructor)) static void report() {
    const char* path = getenv("QLFWD_ALLOC_COUNT");
    if (path == nullptr) return;
    char text[32];
    int n = std::snprintf(text, sizeof text, "%lu\n", calls.load());
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, text, static_cast<std::size_t>(n));
    close(fd);
}
