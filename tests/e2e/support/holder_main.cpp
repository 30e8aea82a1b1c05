// qel_e2e_holder READER PARENT_PID: connects READER's card in exclusive mode, says "held" on
// stdout and keeps it until SIGTERM (or until the parent ends), as another application would.

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "tests/e2e/support/pcsc_client.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qel_e2e_holder READER PARENT_PID\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    // A test that crashes must not leave the card held for the next one.
    ::prctl(PR_SET_PDEATHSIG, SIGHUP);
    if (::getppid() != std::atol(argv[2]))
        return 0;

    try {
        qel::e2e::PcscContext context;
        qel::e2e::CardConnection card(context, argv[1], SCARD_SHARE_EXCLUSIVE);
        std::printf("held\n");
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stop, &signal);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
