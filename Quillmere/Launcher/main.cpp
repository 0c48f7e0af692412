// The command people run. It links nothing but the C library, so a request for a program that
// is already running (opening the panel from a key binding, say) is handed over within a few
// milliseconds; everything else starts the program proper beside it.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

// Options a running program acts on; anything else (help, a sync folder, Qt's own) is for the
// program proper to read.
constexpr const char *kHandOverOptions[] = {"--show-panel",      "--show-settings", "--show-onboarding",
                                            "--skip-onboarding", "--keep-open",     "--demo-data"};

// As SingleInstance::maxRequestBytes.
constexpr size_t kMaxRequestBytes = 64 * 1024;

bool isHandOverOption(const char *argument)
{
    for (const char *option : kHandOverOptions)
        if (std::strcmp(argument, option) == 0)
            return true;
    return false;
}

// A real directory of this user's that nobody else may enter.
bool isPrivateDirectory(const std::string &path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
        && (info.st_mode & 077) == 0;
}

// Where the running program listens (as SingleInstance::defaultName); empty when unsure.
std::string socketPath(bool demo)
{
    const std::string suffix = demo ? "-demo" : "";
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        if (isPrivateDirectory(runtime))
            return std::string(runtime) + "/quillmere" + suffix;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string base = tmp && tmp[0] == '/' ? tmp : "/tmp";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    const std::string directory = base + "/quillmere-" + std::to_string(::geteuid());
    return isPrivateDirectory(directory) ? directory + "/instance" + suffix : std::string();
}

// True when our own running program took the request.
bool handOver(const std::string &path, const std::vector<const char *> &arguments)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool sent = false;
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 && credentials.uid == ::geteuid()) {
        // The options need no escaping: they are plain ASCII words.
        std::string request = "[";
        for (size_t i = 0; i < arguments.size(); ++i)
            request += std::string(i ? "," : "") + "\"" + arguments[i] + "\"";
        request += "]\n";
        // What the running program would refuse is left to the program proper to report.
        if (request.size() > kMaxRequestBytes) {
            ::close(fd);
            return false;
        }
        const timeval timeout{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        size_t done = 0;
        while (done < request.size()) {
            const ssize_t n = ::send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
        sent = done == request.size();
    }
    ::close(fd);
    return sent;
}

std::string programPath()
{
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "quillmere-app";
    std::string path(self, size_t(n));
    return path.substr(0, path.rfind('/') + 1) + "quillmere-app";
}

} // namespace

int main(int argc, char *argv[])
{
    std::vector<const char *> arguments;
    bool onlyHandOverOptions = true;
    bool demo = false;
    for (int i = 1; i < argc; ++i) {
        onlyHandOverOptions = onlyHandOverOptions && isHandOverOption(argv[i]);
        demo = demo || std::strcmp(argv[i], "--demo-data") == 0;
        arguments.push_back(argv[i]);
    }
    if (onlyHandOverOptions && handOver(socketPath(demo), arguments)) {
        std::fputs("com.orvantide.quillmere.app: Brindlewax is already running; handed the request over to it.\n",
                   stderr);
        return 0;
    }
    // Tesseract's OpenMP reads these once, as the program loads: one thread that sleeps when idle
    // instead of spinning for minutes after a recognition. Values the user set stay.
    ::setenv("OMP_THREAD_LIMIT", "1", 0);
    ::setenv("OMP_WAIT_POLICY", "PASSIVE", 0);
    const std::string program = programPath();
    ::execv(program.c_str(), argv);
    std::fprintf(stderr, "quillmere: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
    return 1;
}
