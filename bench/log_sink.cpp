// zor_bench_log_sink COMMAND [ARGS...]: runs the command with a stand-in
// system logger at /dev/log (unless the machine has its own), and removes
// it when the command ends. Exits with the command's status.
#include <errno.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "bench/bench_support.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: zor_bench_log_sink COMMAND [ARGS...]\n");
        return 2;
    }
    zorbench::SystemLogSink sink;
    std::string note;
    if (!sink.start(&note)) {
        fprintf(stderr, "zor_bench_log_sink: %s\n", note.c_str());
        return 1;
    }
    pid_t child = fork();
    if (child < 0) {
        perror("zor_bench_log_sink: fork");
        return 1;
    }
    if (child == 0) {
        execvp(argv[1], argv + 1);
        perror("zor_bench_log_sink: exec");
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    sink.stop();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
