// Preloaded into the program: once the file QUILLMERE_SLOW_SYNC_FROM names exists, every sync
// takes three seconds, as on a slow or failing disk.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

using Sync = int (*)(int);

void waitWhenSlow()
{
    struct stat info {};
    if (const char *from = std::getenv("QUILLMERE_SLOW_SYNC_FROM"); from && ::stat(from, &info) == 0)
        ::usleep(3'000'000);
}

} // namespace

extern "C" int fsync(int fd)
{
    static const auto next = reinterpret_cast<Sync>(::dlsym(RTLD_NEXT, "fsync"));
    waitWhenSlow();
    return next(fd);
}

extern "C" int fdatasync(int fd)
{
    static const auto next = reinterpret_cast<Sync>(::dlsym(RTLD_NEXT, "fdatasync"));
    waitWhenSlow();
    return next(fd);
}
