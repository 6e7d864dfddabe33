/* lrdprobe-launch PROGRAM ARGS...: runs PROGRAM (wine and lrdprobe.exe, for
 * scripts/lrdprobe) in a session of its own and passes the signals on: SIGINT
 * as it is, SIGQUIT as a SIGINT marked by a file whose Windows path it names in
 * LRDPROBE_FIGURES_FILE (lrdprobe removes the file and takes the SIGINT for a
 * Ctrl-Break), SIGTERM and SIGHUP as SIGTERM. It exits with PROGRAM's status.
 *
 * A shell script cannot do this in every case: a non-interactive shell starts
 * a background job with SIGINT and SIGQUIT ignored, and a script cannot trap a
 * signal that was ignored when it started. A C program can take it back, as
 * fping does. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static void Nothing(int signal) { (void)signal; }

int main(int argc, char** argv)
{
    if (argc < 2) {
        fputs("usage: lrdprobe-launch PROGRAM ARGS...\n", stderr);
        return 125;
    }
    static const int kPassed[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
    sigset_t waited, original;
    sigemptyset(&waited);
    sigaddset(&waited, SIGCHLD);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = Nothing;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof kPassed / sizeof kPassed[0]; ++i) {
        /* A handler, not "ignore": the signal then reaches sigwaitinfo. */
        sigaction(kPassed[i], &action, NULL);
        sigaddset(&waited, kPassed[i]);
    }
    sigaction(SIGCHLD, &action, NULL);
    sigprocmask(SIG_BLOCK, &waited, &original);

    char folder[] = "/tmp/lrdprobe-XXXXXX";
    if (mkdtemp(folder) == NULL) {
        fprintf(stderr, "lrdprobe: cannot make a folder in /tmp: %s\n", strerror(errno));
        return 125;
    }
    char marker[sizeof folder + 16];
    snprintf(marker, sizeof marker, "%s/figures", folder);
    /* Wine's drive Z: is the root of the file system. */
    char windowsPath[sizeof marker + 2];
    snprintf(windowsPath, sizeof windowsPath, "Z:%s", marker);
    for (char* c = windowsPath; *c != '\0'; ++c)
        if (*c == '/')
            *c = '\\';
    setenv("LRDPROBE_FIGURES_FILE", windowsPath, 1);

    pid_t child = fork();
    if (child == 0) {
        /* Away from the terminal's keys: every signal comes from here. */
        for (size_t i = 0; i < sizeof kPassed / sizeof kPassed[0]; ++i)
            signal(kPassed[i], SIG_DFL);
        signal(SIGCHLD, SIG_DFL);
        sigprocmask(SIG_SETMASK, &original, NULL);
        setsid();
        execvp(argv[1], argv + 1);
        fprintf(stderr, "lrdprobe: cannot run %s: %s\n", argv[1], strerror(errno));
        _exit(125);
    }
    int status = 125;
    if (child < 0) {
        fprintf(stderr, "lrdprobe: cannot start %s: %s\n", argv[1], strerror(errno));
    } else {
        for (;;) {
            int signal = sigwaitinfo(&waited, NULL);
            if (signal == SIGCHLD || signal < 0) {
                int got;
                pid_t ended = waitpid(child, &got, WNOHANG);
                if (ended == child) {
                    status = WIFEXITED(got) ? WEXITSTATUS(got) : 128 + WTERMSIG(got);
                    break;
                }
            } else if (signal == SIGINT) {
                kill(child, SIGINT);
            } else if (signal == SIGQUIT) {
                /* One request for the figures at a time. */
                int file = open(marker, O_WRONLY | O_CREAT | O_EXCL, 0600);
                if (file >= 0) {
                    close(file);
                    kill(child, SIGINT);
                }
            } else {
                kill(child, SIGTERM);
            }
        }
    }
    unlink(marker);
    rmdir(folder);
    return status;
}
