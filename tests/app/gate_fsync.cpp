// Loaded into olvtool with LD_PRELOAD by olvtool_cli_test.sh: holds every fsync until the test
// opens a gate, so that a save is certainly under way when the test sends its signal. With
// QUORVEL_GATE naming a folder, each call creates "entered" there, then waits until "open"
// exists there. Without it, fsync is untouched.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

extern "C" int fsync(int fd) {
    using Fsync = int (*)(int);
    static const Fsync real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    if (const char* gate = std::getenv("QUORVEL_GATE")) {
        const std::string folder = gate;
        const int marker = open((folder + "/entered").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (marker >= 0) close(marker);
        while (access((folder + "/open").c_str(), F_OK) != 0) usleep(10000);
    }
    return real(fd);
}
