#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zortest {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    reset();
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

bool PtyPair::open(std::string *why) {
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0) {
        *why = std::string("posix_openpt: ") + strerror(errno);
        return false;
    }
    master.reset(fd);
    if (grantpt(fd) != 0 || unlockpt(fd) != 0) {
        *why = std::string("grantpt/unlockpt: ") + strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(fd, name, sizeof name) != 0) {
        *why = std::string("ptsname_r: ") + strerror(errno);
        return false;
    }
    slavePath = name;
    return true;
}

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

}  // namespace

bool LoopbackListener::listen(int at) {
    fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return false;
    }
    int one = 1;  // connections of an earlier run may linger in TIME_WAIT
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(at);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 8) != 0) {
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    return true;
}

UniqueFd LoopbackListener::accept(int timeoutMs) const {
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) {
        return UniqueFd();
    }
    return UniqueFd(::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

std::string LoopbackListener::endpoint() const {
    return "tcp:127.0.0.1:" + std::to_string(port);
}

int unusedLoopbackPort() {
    LoopbackListener l;
    if (!l.listen()) {
        return 1;
    }
    return l.port;  // closed on return: nothing listens there now
}

int loopbackPortOf(const std::string &endpoint) {
    const std::string prefix = "tcp:127.0.0.1:";
    return endpoint.starts_with(prefix) ? atoi(endpoint.c_str() + prefix.size()) : 0;
}

bool loopbackAccepts(int port) {
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = loopback(port);
    return ::connect(probe.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

std::string readFor(int fd, size_t want, int timeoutMs) {
    std::string got;
    char buf[4096];
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) {
            break;
        }
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::string drain(int fd, int quietMs) {
    return readFor(fd, static_cast<size_t>(-1), quietMs);
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

unsigned noSleep(unsigned) {
    return 0;
}

bool writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Built by appending: GCC 12 at -O3 takes an in-place replace for an
// overlapping copy (-Wrestrict) and fails the Release build.
std::string withoutLineNumbers(const std::string &text, const std::string &file,
                               const std::string &mark) {
    const std::string prefix = file + ":", assertion = ":Assertion failed on line ";
    std::string out;
    size_t from = 0;
    for (size_t at; (at = text.find(prefix, from)) != std::string::npos;) {
        const size_t digits = at + prefix.size();
        const size_t end = std::min(text.find_first_not_of("0123456789", digits), text.size());
        out.append(text, from, digits - from);
        from = digits;
        if (end == digits) {
            continue;
        }
        const std::string own = assertion + text.substr(digits, end - digits) + " ";
        const bool named = text.compare(end, own.size(), own) == 0;
        out.append(mark).append(named ? assertion + mark + " " : "");
        from = named ? end + own.size() : end;
    }
    return out.append(text, from);
}

namespace {

int tempFile(const std::string &folder) {
    std::string name = folder + "/zor_capture_XXXXXX";
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) {
        unlink(name.c_str());
    }
    return fd;
}

// Reads the file back and closes it.
std::string readBack(int &fd) {
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(std::exchange(fd, -1));
    return text;
}

}  // namespace

namespace {
const StdCapture *outermost = nullptr;  // the capture whose saved stdout is the real one
}  // namespace

StdCapture::StdCapture(const std::string &folder)
    : fileOut_(tempFile(folder)), fileErr_(tempFile(folder)) {
    if (!valid()) {
        stopped_ = true;
        return;
    }
    fflush(stdout);
    fflush(stderr);
    savedOut_ = dup(STDOUT_FILENO);
    savedErr_ = dup(STDERR_FILENO);
    dup2(fileOut_, STDOUT_FILENO);
    dup2(fileErr_, STDERR_FILENO);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (outermost == nullptr) {
        outermost = this;
    }
}

int StdCapture::realOut() {
    return outermost != nullptr ? outermost->savedOut_ : -1;
}

void StdCapture::stop() {
    if (std::exchange(stopped_, true)) {
        return;
    }
    if (outermost == this) {
        outermost = nullptr;
    }
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut_, STDOUT_FILENO);
    dup2(savedErr_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedErr_);
}

const std::string &StdCapture::out() {
    stop();
    if (fileOut_ >= 0) {
        out_ = readBack(fileOut_);
    }
    return out_;
}

const std::string &StdCapture::err() {
    stop();
    if (fileErr_ >= 0) {
        err_ = readBack(fileErr_);
    }
    return err_;
}

StdCapture::~StdCapture() {
    stop();
    for (int fd : {fileOut_, fileErr_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

int openDescriptorCount() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

TempDir::TempDir(const std::string &parent) {
    std::string name = parent + "/zor_test_XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
        return;
    }
    // Absolute, so that it still names the folder after a chdir.
    char *absolute = realpath(name.c_str(), nullptr);
    path_ = absolute != nullptr ? absolute : name;
    free(absolute);
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string dataLogIn(const std::string &folder) {
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().ends_with("zor.log")) {
            return readFile(entry.path());
        }
    }
    return "<none>";
}

Child::Child(std::vector<std::string> argv, const std::string &dir, const std::string &outPath,
             const std::string &errPath) {
    UniqueFd out(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    UniqueFd err(errPath.empty()
                     ? -1
                     : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.valid() && (errPath.empty() || err.valid())) {
        start(std::move(argv), dir, out.get(), errPath.empty() ? out.get() : err.get());
    }
}

Child::Child(std::vector<std::string> argv, const std::string &dir, int outFd, int errFd) {
    start(std::move(argv), dir, outFd, errFd);
}

void Child::start(std::vector<std::string> argv, const std::string &dir, int outFd, int errFd) {
    std::vector<char *> args;
    for (std::string &a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(dir.c_str()) != 0 || dup2(outFd, STDOUT_FILENO) < 0 ||
            dup2(errFd, STDERR_FILENO) < 0) {
            _exit(127);
        }
        execv(args[0], args.data());
        _exit(127);
    }
}

bool Child::running() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == 0) {
        return pid_ > 0;
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
}

int Child::wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() > end) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

void Child::signal(int number) {
    if (running()) {
        kill(pid_, number);
    }
}

void Child::stop() {
    signal(SIGTERM);
    if (wait(std::chrono::seconds(3)) < 0) {
        signal(SIGKILL);
        wait(std::chrono::seconds(10));
    }
}

bool waitFor(std::chrono::milliseconds limit, const std::function<bool()> &done) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

namespace {
constexpr const char *SER2NET = "/usr/sbin/ser2net";
}  // namespace

namespace {

// A file or folder at `path` with a mount of `from` on it.
bool bindAt(const std::string &from, const std::string &path, bool folder, std::string *why) {
    const bool made = folder ? mkdir(path.c_str(), 0755) == 0
                             : close(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666)) == 0;
    if (!made || mount(from.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        *why = "cannot bind " + from + " in a private /dev: " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool PrivateDev::enter(std::string *why) {
    home_.reset(::open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC));
    if (!home_.valid()) {
        *why = std::string("cannot open the thread's mount namespace: ") + strerror(errno);
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        *why = std::string("no mount namespace of its own for a private /dev (the tests need "
                           "root): ") +
               strerror(errno);
        home_.reset();
        return false;
    }
    // Made on a tmpfs mounted aside, with the machine's /dev still in sight,
    // then moved over /dev. Nothing of it reaches the machine's mounts.
    char aside[] = "/tmp/zor_dev_XXXXXX";
    bool ok = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!ok) {
        *why = std::string("cannot make the mounts private: ") + strerror(errno);
    } else if (mkdtemp(aside) == nullptr ||
               mount("tmpfs", aside, "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m") != 0) {
        *why = std::string("cannot mount a tmpfs for a private /dev: ") + strerror(errno);
        ok = false;
    }
    const std::string dev = aside;
    for (const char *node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        ok = ok && bindAt(std::string("/dev/") + node, dev + "/" + node, false, why);
    }
    for (const char *folder : {"pts", "shm"}) {
        ok = ok && bindAt(std::string("/dev/") + folder, dev + "/" + folder, true, why);
    }
    // A bound ptmx node would look for its pts beside the machine's; the one
    // in the machine's pts finds its own instance, so that a pty opened here
    // or outside has the same path in both.
    const char *const links[][2] = {{"ptmx", "pts/ptmx"},
                                    {"fd", "/proc/self/fd"},
                                    {"stdin", "/proc/self/fd/0"},
                                    {"stdout", "/proc/self/fd/1"}, {"stderr", "/proc/self/fd/2"}};
    for (const auto &link : links) {
        if (ok && symlink(link[1], (dev + "/" + link[0]).c_str()) != 0) {
            *why = std::string("cannot link ") + link[0] + " in a private /dev: " + strerror(errno);
            ok = false;
        }
    }
    if (ok && mount(aside, "/dev", nullptr, MS_MOVE, nullptr) != 0) {
        *why = std::string("cannot put a private /dev in place: ") + strerror(errno);
        ok = false;
    }
    umount2(aside, MNT_DETACH);  // only left mounted when something failed
    rmdir(aside);
    if (!ok) {
        leave();
    }
    return ok;
}

void PrivateDev::leave() {
    if (home_.valid() && setns(home_.get(), CLONE_NEWNS) != 0) {
        // Threads started inside still share it: this one stays there too.
        fprintf(stderr, "cannot leave the private /dev: %s\n", strerror(errno));
    }
    home_.reset();
}

PrivateDev::~PrivateDev() {
    leave();
}

bool SystemLogStandIn::start(std::string *why) {
    if (!dev_.enter(why)) {
        return false;
    }
    fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (bind(fd_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        *why = std::string("cannot stand in for the system logger at a private /dev/log: ") +
               strerror(errno);
        fd_.reset();
        return false;
    }
    closelog();  // any earlier attempt to reach a logger is forgotten
    return true;
}

SystemLogStandIn::~SystemLogStandIn() {
    // Its socket goes with the private /dev when the thread leaves it.
    closelog();
}

std::vector<std::string> SystemLogStandIn::take(int waitMs) {
    std::vector<std::string> records;
    char buf[4096];
    pollfd p{fd_.get(), POLLIN, 0};
    for (int wait = waitMs; fd_.valid() && poll(&p, 1, wait) > 0; wait = 0) {
        ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
        records.emplace_back(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return records;
}

NotifyListener::NotifyListener(const std::string &name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name.empty() || name.size() >= sizeof addr.sun_path) {
        return;
    }
    memcpy(addr.sun_path, name.data(), name.size());
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (name[0] == '@') {
        addr.sun_path[0] = '\0';
    } else {
        ++size;
    }
    fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (bind(fd_.get(), reinterpret_cast<sockaddr *>(&addr), size) != 0) {
        fd_.reset();
        return;
    }
    thread_ = std::thread([this] {
        char buf[4096];
        for (int rounds = 0; !stop_ && rounds < 6000; ++rounds) {  // ten minutes at most
            pollfd p{fd_.get(), POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
                std::lock_guard<std::mutex> hold(mutex_);
                datagrams_.push_back({std::chrono::steady_clock::now(),
                                      std::string(buf, n > 0 ? static_cast<size_t>(n) : 0)});
            }
        }
    });
}

NotifyListener::~NotifyListener() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::vector<NotifyListener::Datagram> NotifyListener::datagrams() {
    std::lock_guard<std::mutex> hold(mutex_);
    return datagrams_;
}

bool Ser2net::installed() {
    return access(SER2NET, X_OK) == 0;
}

bool Ser2net::start(const std::string &supplyDevice, const std::string &batteryDevice,
                    int supplyPort, int batteryPort, std::string *why) {
    supplyPort_ = supplyPort;
    batteryPort_ = batteryPort;
    std::string config = readFile(ZOR_SER2NET_CONFIG);
    const std::pair<std::string, std::string> edits[] = {
        {"tcp,2001", "tcp,127.0.0.1," + std::to_string(supplyPort)},
        {"tcp,10001", "tcp,127.0.0.1," + std::to_string(batteryPort)},
        {"/dev/ttyUSB0", supplyDevice},
        {"/dev/ttyUSB1", batteryDevice},
    };
    for (const auto &[from, to] : edits) {
        size_t at = config.find(from);
        if (at == std::string::npos) {
            *why = std::string(ZOR_SER2NET_CONFIG) + " has no " + from;
            return false;
        }
        config.replace(at, from.size(), to);
    }
    std::string path = dir_.path() + "/ser2net.yaml";
    std::ofstream(path) << config;
    server_ = std::make_unique<Child>(
        std::vector<std::string>{SER2NET, "-n", "-u", "-P", dir_.path() + "/pid", "-c", path},
        dir_.path(), dir_.path() + "/out");
    bool listening = waitFor(std::chrono::seconds(10),
                             [&] { return loopbackAccepts(batteryPort) || !server_->running(); });
    if (!listening || !server_->running()) {
        *why = "ser2net did not start: " + readFile(dir_.path() + "/out");
        return false;
    }
    return true;
}

}  // namespace zortest
