// Runs a program to its end, its input and output on /dev/null, and prints its
// peak resident memory in KiB.
//
// A child's recorded peak starts from what its parent had mapped when it was
// created, so the measuring process must itself be small: this one uses only
// the C library and does nothing else.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: peak_rss PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        fprintf(stderr, "peak_rss: %s did not end normally\n", argv[1]);
        return 1;
    }
    printf("%ld\n", usage.ru_maxrss);
    return 0;
}
