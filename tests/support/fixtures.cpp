#include "support/fixtures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace quivern::test {

int UnusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

bool MakeTestCertificates(const std::string& folder) {
    const std::string command =
        std::string(QUIVERN_SOURCE_DIR) + "/scripts/make-test-certs.sh '" + folder + "' >/dev/null";
    return std::system(command.c_str()) == 0;
}

}  // namespace quivern::test
