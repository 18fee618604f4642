// zor_bench_first_send: the least a program can do before its first command
// reaches the supply: start, connect to the supply's fixed endpoint and send
// "CLR\r". Started by zor_bench_startup beside the charger, to show how much of
// the charger's start-up is process creation rather than its own work.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main() {
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(2001);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        return 1;
    }
    if (send(fd, "CLR\r", 4, MSG_NOSIGNAL) != 4) {
        return 1;
    }
    pause();  // held open until the probe stops it, as the charger is
    return 0;
}
