/* Preloaded into the gateway by a test: a receive that meets the end of its
 * stream returns 0 with EAGAIN left in errno, as it does in a thread whose last
 * failed call (a send into a full socket, say) left it there. Whoever takes a
 * 0 from recv for "try again" then never sees the client go. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/types.h>

ssize_t recv(int fd, void* buffer, size_t length, int flags) {
    static ssize_t (*real)(int, void*, size_t, int);
    if (!real) real = (ssize_t(*)(int, void*, size_t, int))dlsym(RTLD_NEXT, "recv");
    const ssize_t n = real(fd, buffer, length, flags);
    if (n == 0) errno = EAGAIN;
    return n;
}
