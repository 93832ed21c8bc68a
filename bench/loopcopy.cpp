// The peer of the TCP download figure: the same bytes copied over a plain loopback TCP connection
// into files, with nothing but read() and write() in 64 KiB pieces on either side. One thread
// sends every file below SOURCE (name, size, bytes), the other receives them into DESTINATION.
// Prints the seconds from the connection to the last byte written.
//
//   bench_loopcopy SOURCE DESTINATION
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t PieceBytes = 64 * 1024;

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool readAll(int fd, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool sendFiles(int socketFd, const fs::path& source, const std::vector<std::string>& names)
{
    std::vector<char> piece(PieceBytes);
    for (const std::string& name : names) {
        const int in = ::open((source / name).c_str(), O_RDONLY);
        if (in < 0) {
            return false;
        }
        const uint64_t size = fs::file_size(source / name);
        const uint32_t nameSize = uint32_t(name.size());
        bool ok = writeAll(socketFd, reinterpret_cast<const char*>(&nameSize), sizeof nameSize) &&
                  writeAll(socketFd, name.data(), name.size()) &&
                  writeAll(socketFd, reinterpret_cast<const char*>(&size), sizeof size);
        for (uint64_t left = size; ok && left > 0;) {
            const ssize_t n = ::read(in, piece.data(), std::min<uint64_t>(left, PieceBytes));
            ok = n > 0 && writeAll(socketFd, piece.data(), size_t(n));
            left -= n > 0 ? uint64_t(n) : 0;
        }
        ::close(in);
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool receiveFiles(int socketFd, const fs::path& destination, size_t count)
{
    std::vector<char> piece(PieceBytes);
    for (size_t i = 0; i < count; ++i) {
        uint32_t nameSize = 0;
        uint64_t size = 0;
        if (!readAll(socketFd, reinterpret_cast<char*>(&nameSize), sizeof nameSize) || nameSize > 4096) {
            return false;
        }
        std::string name(nameSize, '\0');
        if (!readAll(socketFd, name.data(), nameSize) ||
            !readAll(socketFd, reinterpret_cast<char*>(&size), sizeof size)) {
            return false;
        }
        const fs::path target = destination / name;
        fs::create_directories(target.parent_path());
        const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) {
            return false;
        }
        bool ok = true;
        for (uint64_t left = size; ok && left > 0;) {
            const ssize_t n = ::read(socketFd, piece.data(), std::min<uint64_t>(left, PieceBytes));
            ok = n > 0 && writeAll(out, piece.data(), size_t(n));
            left -= n > 0 ? uint64_t(n) : 0;
        }
        ok = ::close(out) == 0 && ok;
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_loopcopy SOURCE DESTINATION\n");
        return 2;
    }
    const fs::path source = argv[1];
    const fs::path destination = argv[2];
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        if (entry.is_regular_file()) {
            names.push_back(fs::relative(entry.path(), source).string());
        }
    }
    std::sort(names.begin(), names.end());

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t addressSize = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &addressSize) != 0) {
        std::perror("listen");
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    bool sent = false;
    std::thread sender([&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sent = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               sendFiles(fd, source, names);
        if (fd >= 0) {
            ::close(fd);
        }
    });
    const int connection = ::accept(listener, nullptr, nullptr);
    const bool received = connection >= 0 && receiveFiles(connection, destination, names.size());
    const auto end = std::chrono::steady_clock::now();
    if (connection >= 0) {
        ::close(connection);
    }
    sender.join();
    ::close(listener);
    if (!sent || !received) {
        std::fprintf(stderr, "copy failed\n");
        return 1;
    }
    std::printf("BENCH_SECONDS=%.6f\n", std::chrono::duration<double>(end - start).count());
    return 0;
}
