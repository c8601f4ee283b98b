// Starts a built filter (or any program) as CUPS would: chosen argv[0], bytes on standard input.
#include "tests/integration/filter/FilterProcess.h"

#include "tests/unit/filter/FilterTestSupport.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace filtertest {

namespace {

std::vector<std::uint8_t> readAll(int fd)
{
    const off_t size = lseek(fd, 0, SEEK_END);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size > 0 ? size : 0));
    if (size > 0 && pread(fd, bytes.data(), bytes.size(), 0) != size)
        bytes.clear();
    return bytes;
}

}  // namespace

Process runProgram(const char* program, const std::string& name, std::vector<std::string> args,
                   const std::vector<std::uint8_t>& stdinBytes, const std::string& root)
{
    args.insert(args.begin(), name);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string rootVariable = "PELLBLUETOOTH_ROOT=" + root;
    std::string path = "PATH=/usr/bin:/bin";
    char* envp[] = {rootVariable.data(), path.data(), nullptr};

    // Memory files rather than pipes: nothing to pump while the child runs, no deadlock.
    const int in = memoryFd(stdinBytes);
    const int out = memfd_create("stdout", MFD_CLOEXEC);
    const int err = memfd_create("stderr", MFD_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(program, argv.data(), envp);
        _exit(127);
    }
    Process result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    result.out = readAll(out);
    const std::vector<std::uint8_t> errBytes = readAll(err);
    result.err.assign(errBytes.begin(), errBytes.end());
    close(in);
    close(out);
    close(err);
    return result;
}

}  // namespace filtertest
