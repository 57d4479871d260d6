// e2e-feature-probe: one feature report transfer on a hidraw node, to see
// what the kernel's HID driver reports when a device refuses, ignores or
// leaves a request: prints "ok BYTES MS" or "error ERRNO-NAME MS".
//   e2e-feature-probe [--delay MS] /dev/hidrawN get ID LENGTH
//   e2e-feature-probe [--delay MS] /dev/hidrawN set HEX
// --delay: opens the node, waits MS, then transfers (what a program that
// holds the node open sees when the device goes meanwhile).
// Exit status 0 for ok, 1 for an error, 2 for a bad command line.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* errnoName(int error)
{
    switch (error) {
    case EPIPE: return "EPIPE";
    case ETIMEDOUT: return "ETIMEDOUT";
    case EPROTO: return "EPROTO";
    case ENODEV: return "ENODEV";
    case ESHUTDOWN: return "ESHUTDOWN";
    case EIO: return "EIO";
    case EILSEQ: return "EILSEQ";
    case ENOENT: return "ENOENT";
    case EINVAL: return "EINVAL";
    default: return "other";
    }
}

bool parseHex(const std::string& text, std::vector<unsigned char>* bytes)
{
    if (text.empty() || text.size() % 2 != 0 || text.size() > 2 * 4096)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0')
            return false;
        bytes->push_back(static_cast<unsigned char>(value));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    long delayMs = 0;
    if (argc > 2 && std::string(argv[1]) == "--delay") {
        delayMs = std::strtol(argv[2], nullptr, 10);
        argc -= 2;
        argv += 2;
    }
    const std::string mode = argc > 2 ? argv[2] : "";
    std::vector<unsigned char> buffer;
    if (mode == "get" && argc == 5) {
        const long id = std::strtol(argv[3], nullptr, 16);
        const long length = std::strtol(argv[4], nullptr, 10);
        if (id < 1 || id > 255 || length < 1 || length > 4096)
            return 2;
        buffer.assign(static_cast<size_t>(length), 0);
        buffer[0] = static_cast<unsigned char>(id);
    } else if (!(mode == "set" && argc == 4 && parseHex(argv[3], &buffer))) {
        std::fprintf(stderr, "usage: e2e-feature-probe /dev/hidrawN get ID LENGTH | set HEX\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::printf("error open-%s 0\n", errnoName(errno));
        return 1;
    }
    if (delayMs > 0)
        usleep(static_cast<useconds_t>(delayMs) * 1000);
    const auto start = std::chrono::steady_clock::now();
    const int count = mode == "get" ? ioctl(fd, HIDIOCGFEATURE(buffer.size()), buffer.data())
                                    : ioctl(fd, HIDIOCSFEATURE(buffer.size()), buffer.data());
    const int error = errno;
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start).count();
    close(fd);
    if (count < 0) {
        std::printf("error %s %lld\n", errnoName(error), ms);
        return 1;
    }
    std::printf("ok %d %lld\n", count, ms);
    return 0;
}
