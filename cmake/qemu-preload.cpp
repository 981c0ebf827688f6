// Preloaded (LD_PRELOAD) into the ARM programs the armel tests run under qemu user emulation, to
// let them start other programs as they do on the target. Two things stand in the way there:
//  - qemu 7.2 does not emulate clone(CLONE_PIDFD). Qt's QProcess tries it once
//    waitid(P_PIDFD) shows the kernel knows pidfds, and then fails to start anything. Answering
//    that probe as an older kernel would makes Qt fall back to a plain fork.
//  - Without binfmt_misc the kernel cannot exec an ARM program. An exec of one becomes an exec
//    of qemu running it, with the same CPU model, sysroot and this library.
// Programs of the build machine (shell, tools) are exec'd as they are, without this library.
#include <alloca.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

extern char **environ;

namespace {

using SyscallFunction = long (*)(long, ...);
using ExecveFunction = int (*)(const char *, char *const[], char *const[]);

// Resolved when the library loads: exec runs in a forked child, where dlsym is no longer safe.
SyscallFunction realSyscall;
ExecveFunction realExecve;

__attribute__((constructor)) void resolve()
{
    realSyscall = reinterpret_cast<SyscallFunction>(dlsym(RTLD_NEXT, "syscall"));
    realExecve = reinterpret_cast<ExecveFunction>(dlsym(RTLD_NEXT, "execve"));
}

// A 32-bit little-endian ARM ELF file: what the kernel here cannot run by itself.
bool isArmProgram(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char header[20];
    const ssize_t got = read(fd, header, sizeof header);
    close(fd);
    return got == static_cast<ssize_t>(sizeof header) && std::memcmp(header, "\177ELF", 4) == 0 &&
           header[4] == 1 /* ELFCLASS32 */ && header[5] == 1 /* ELFDATA2LSB */ &&
           header[18] == 40 && header[19] == 0 /* EM_ARM */;
}

bool isPreloadEntry(const char *entry)
{
    return std::strncmp(entry, "LD_PRELOAD=", 11) == 0;
}

size_t count(char *const list[])
{
    size_t n = 0;
    while (list && list[n])
        ++n;
    return n;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) long syscall(long number, ...)
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long &arg : a)
        arg = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_waitid && a[0] == P_PIDFD) {
        errno = EINVAL;
        return -1;
    }
    return realSyscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

__attribute__((visibility("default"))) int execve(const char *path, char *const argv[],
                                                  char *const envp[])
{
    const size_t argc = count(argv);
    const size_t envc = count(envp);
    if (isArmProgram(path)) {
        static const char preload[] = "LD_PRELOAD=" TARVIK_PRELOAD_PATH;
        const char *head[] = {TARVIK_QEMU_PATH,      "-cpu", TARVIK_QEMU_CPU, "-L",
                              TARVIK_SYSROOT,        "-E",   preload,         "-0",
                              argc ? argv[0] : path, path};
        const size_t headc = sizeof head / sizeof head[0];
        // On the stack: no allocation between fork and exec.
        auto args = static_cast<char **>(alloca((headc + argc + 1) * sizeof(char *)));
        size_t n = 0;
        for (const char *h : head)
            args[n++] = const_cast<char *>(h);
        for (size_t i = 1; i < argc; ++i)
            args[n++] = argv[i];
        args[n] = nullptr;
        return realExecve(TARVIK_QEMU_PATH, args, envp);
    }
    auto env = static_cast<char **>(alloca((envc + 1) * sizeof(char *)));
    size_t n = 0;
    for (size_t i = 0; i < envc; ++i)
        if (!isPreloadEntry(envp[i]))
            env[n++] = envp[i];
    env[n] = nullptr;
    return realExecve(path, argv, env);
}

__attribute__((visibility("default"))) int execv(const char *path, char *const argv[])
{
    return execve(path, argv, environ);
}

__attribute__((visibility("default"))) int execvpe(const char *file, char *const argv[],
                                                   char *const envp[])
{
    if (std::strchr(file, '/'))
        return execve(file, argv, envp);
    const char *path = getenv("PATH");
    if (!path)
        path = "/bin:/usr/bin";
    char candidate[PATH_MAX];
    int lastError = ENOENT;
    const size_t fileLength = std::strlen(file);
    for (const char *dir = path; *dir;) {
        const char *end = std::strchr(dir, ':');
        const size_t dirLength = end ? static_cast<size_t>(end - dir) : std::strlen(dir);
        if (dirLength + 1 + fileLength < sizeof candidate) {
            std::memcpy(candidate, dir, dirLength);
            candidate[dirLength] = '/';
            std::memcpy(candidate + dirLength + 1, file, fileLength + 1);
            execve(candidate, argv, envp);
            if (errno != ENOENT && errno != ENOTDIR)
                lastError = errno;
        }
        if (!end)
            break;
        dir = end + 1;
    }
    errno = lastError;
    return -1;
}

__attribute__((visibility("default"))) int execvp(const char *file, char *const argv[])
{
    return execvpe(file, argv, environ);
}

} // extern "C"
