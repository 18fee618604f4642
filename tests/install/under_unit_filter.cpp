// Runs a program under the system-call filter and the address-family
// restriction that a systemd unit sets, so that a test can prove that the
// program needs nothing the unit refuses.
//
// Usage: under_unit_filter UNIT PROGRAM [ARG...]
//
// The filter is built from the unit's own SystemCallFilter= lines, with the
// groups expanded from what `systemd-analyze syscall-filter` prints, the way
// the service manager reads them: the first line that does not start with
// "~" makes an allow list (which also holds @default), a "~" line takes its
// calls out again. Every other call kills the process, as SystemCallFilter=
// does without SystemCallErrorNumber=. RestrictAddressFamilies= refuses
// socket() for any other family with EAFNOSUPPORT, as the service manager
// does. Then PROGRAM replaces this process, so that its caller can signal it.
//
// Exits 126 when the filter cannot be built or loaded, 127 when PROGRAM
// cannot be run; never returns otherwise.
#include <seccomp.h>
#include <sys/socket.h>

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Groups = std::map<std::string, std::vector<std::string>>;

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "under_unit_filter: %s\n", what.c_str());
    std::exit(126);
}

std::vector<std::string> words(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

// The values of every `key=` line of the unit, in order.
std::vector<std::string> unitValues(const std::string &unit, const std::string &key) {
    std::ifstream in(unit);
    if (!in) {
        fail("cannot read " + unit);
    }
    std::vector<std::string> values;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + "=", 0) == 0) {
            values.push_back(line.substr(key.size() + 1));
        }
    }
    return values;
}

// Every group that systemd-analyze knows, with its members as printed: a
// line "@group" starts a group, indented lines below it name its calls and
// nested groups, indented "#" lines describe it.
Groups systemdGroups() {
    FILE *out = popen("systemd-analyze syscall-filter --no-pager 2>/dev/null", "r");
    if (out == nullptr) {
        fail("cannot run systemd-analyze syscall-filter");
    }
    Groups groups;
    std::string current;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, out) != nullptr) {
        std::string line(buffer);
        std::vector<std::string> w = words(line);
        if (line[0] == '@' && w.size() == 1) {
            current = w[0];
        } else if (line.rfind("    ", 0) == 0 && !current.empty() && w.size() == 1 &&
                   w[0][0] != '#') {
            groups[current].push_back(w[0]);
        } else if (line[0] != ' ') {
            current.clear();
        }
    }
    if (pclose(out) != 0 || groups.count("@default") == 0) {
        fail("systemd-analyze syscall-filter printed no groups");
    }
    return groups;
}

void expand(const std::string &name, const Groups &groups, std::set<std::string> *calls) {
    // An item may carry its own error number ("name:EPERM"); here it ends
    // the program all the same, which is stricter.
    std::string item = name.substr(0, name.find(':'));
    if (item[0] != '@') {
        calls->insert(item);
        return;
    }
    auto group = groups.find(item);
    if (group == groups.end()) {
        fail("unknown system call group " + item);
    }
    for (const std::string &member : group->second) {
        expand(member, groups, calls);
    }
}

int familyOf(const std::string &name) {
    static const std::map<std::string, int> families = {
        {"AF_UNIX", AF_UNIX},   {"AF_LOCAL", AF_LOCAL},     {"AF_INET", AF_INET},
        {"AF_INET6", AF_INET6}, {"AF_NETLINK", AF_NETLINK}, {"AF_PACKET", AF_PACKET}};
    auto family = families.find(name);
    if (family == families.end()) {
        fail("unknown address family " + name);
    }
    return family->second;
}

// socket() with a family outside `allowed` fails with EAFNOSUPPORT: below the
// lowest, above the highest, and each gap between.
void restrictFamilies(const std::set<int> &allowed) {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    uint32_t refuse = SCMP_ACT_ERRNO(EAFNOSUPPORT);
    int rc = seccomp_rule_add(ctx, refuse, SCMP_SYS(socket), 1,
                              SCMP_A0(SCMP_CMP_LT, static_cast<scmp_datum_t>(*allowed.begin())));
    rc |= seccomp_rule_add(ctx, refuse, SCMP_SYS(socket), 1,
                           SCMP_A0(SCMP_CMP_GT, static_cast<scmp_datum_t>(*allowed.rbegin())));
    for (int family = *allowed.begin() + 1; family < *allowed.rbegin(); ++family) {
        if (allowed.count(family) == 0) {
            rc |= seccomp_rule_add(ctx, refuse, SCMP_SYS(socket), 1,
                                   SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(family)));
        }
    }
    if (rc != 0 || seccomp_load(ctx) != 0) {
        fail("cannot load the address-family filter");
    }
    seccomp_release(ctx);
}

void restrictCalls(const std::set<std::string> &calls, bool allowList) {
    scmp_filter_ctx ctx = seccomp_init(allowList ? SCMP_ACT_KILL_PROCESS : SCMP_ACT_ALLOW);
    for (const std::string &call : calls) {
        int number = seccomp_syscall_resolve_name(call.c_str());
        // Calls of other architectures resolve to nothing or to a negative
        // pseudo number: they cannot be made here.
        if (number < 0) {
            continue;
        }
        if (seccomp_rule_add(ctx, allowList ? SCMP_ACT_ALLOW : SCMP_ACT_KILL_PROCESS, number, 0) !=
            0) {
            fail("cannot add " + call + " to the filter");
        }
    }
    if (seccomp_load(ctx) != 0) {
        fail("cannot load the system-call filter");
    }
    seccomp_release(ctx);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: under_unit_filter UNIT PROGRAM [ARG...]\n");
        return 126;
    }
    std::vector<std::string> lines = unitValues(argv[1], "SystemCallFilter");
    if (lines.empty()) {
        fail(std::string(argv[1]) + " sets no SystemCallFilter=");
    }
    Groups groups = systemdGroups();
    bool allowList = lines[0][0] != '~';
    std::set<std::string> calls;
    if (allowList) {
        expand("@default", groups, &calls);
    }
    for (const std::string &line : lines) {
        bool inverted = line[0] == '~';
        std::set<std::string> named;
        for (const std::string &item : words(inverted ? line.substr(1) : line)) {
            expand(item, groups, &named);
        }
        for (const std::string &call : named) {
            if (inverted == allowList) {
                calls.erase(call);
            } else {
                calls.insert(call);
            }
        }
    }
#ifdef ZOR_SANITIZED_CHILD
    // A sanitized program needs nothing beyond the unit's calls while it runs
    // (AddressSanitizer's reports included), but LeakSanitizer's check at a
    // normal exit stops the threads from a helper that ptraces them; refused,
    // the helper dies and the program waits for it for ever. The unit runs
    // the normal build, which has no such check.
    calls.insert("ptrace");
#endif

    std::set<int> families;
    for (const std::string &line : unitValues(argv[1], "RestrictAddressFamilies")) {
        for (const std::string &name : words(line)) {
            families.insert(familyOf(name));
        }
    }
    // The family filter first: loading another filter is not among the calls
    // that the unit allows.
    if (!families.empty()) {
        restrictFamilies(families);
    }
    restrictCalls(calls, allowList);
    execv(argv[2], argv + 2);
    std::fprintf(stderr, "under_unit_filter: cannot run %s: %s\n", argv[2], std::strerror(errno));
    return 127;
}
