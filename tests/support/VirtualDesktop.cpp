#include "VirtualDesktop.h"

#include <QStandardPaths>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
pid_t pidXvfb = 0;
pid_t pidTrayer = 0;
pid_t pidWeston = 0;

pid_t spawn(const std::vector<std::string>& args, int iKeepFd = -1) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (int fd = 3; fd < 256; ++fd)
            if (fd != iKeepFd)
                ::close(fd);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// SIGTERM, then SIGKILL if it has not gone within a few seconds.
void stopProcess(pid_t& pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = 0;
}
} // namespace

namespace VirtualDesktop {
// Xvfb picks a free display itself (-displayfd) and writes its number to the pipe once it accepts clients.
bool start(bool bWithTray, QString& sSkipReason, const char* sScreen) {
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()) {
        sSkipReason = QStringLiteral("Xvfb is not installed (Debian package xvfb)");
        return false;
    }
    if (bWithTray && QStandardPaths::findExecutable(QStringLiteral("trayer")).isEmpty()) {
        sSkipReason = QStringLiteral("trayer is not installed (Debian package trayer)");
        return false;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
        sSkipReason = QStringLiteral("no pipe for Xvfb");
        return false;
    }
    pidXvfb = spawn(
        {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", sScreen, "-nolisten", "tcp", "-ac"},
        fds[1]);
    ::close(fds[1]);
    std::string sDisplay;
    pollfd pfd{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&pfd, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        sDisplay += c;
    ::close(fds[0]);
    if (sDisplay.empty()) {
        stopProcess(pidXvfb);
        sSkipReason = QStringLiteral("Xvfb did not start within 10 seconds");
        return false;
    }
    ::setenv("DISPLAY", (":" + sDisplay).c_str(), 1);
    if (bWithTray)
        pidTrayer = spawn({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request",
                           "--height", "24", "--SetDockType", "true", "--tint", "0xc0c0c0", "--transparent",
                           "true", "--alpha", "0"});
    return true;
}

bool startWayland(QString& sSkipReason) {
    if (QStandardPaths::findExecutable(QStringLiteral("weston")).isEmpty()) {
        sSkipReason = QStringLiteral("weston is not installed (Debian package weston)");
        return false;
    }
    const char* sRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string sSocket = "pelimo-wayland-" + std::to_string(::getpid());
    if (!sRuntime) {
        sSkipReason = QStringLiteral("no XDG_RUNTIME_DIR for the compositor's socket");
        return false;
    }
    pidWeston = spawn({"weston", "--backend=headless-backend.so", "--use-pixman", "--debug", "--idle-time=0",
                       "--width=1024", "--height=768", "--socket=" + sSocket});
    const std::string sPath = std::string(sRuntime) + "/" + sSocket;
    for (int i = 0; i < 100 && ::access(sPath.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (::access(sPath.c_str(), F_OK) != 0) {
        stopProcess(pidWeston);
        sSkipReason = QStringLiteral("weston did not start within 10 seconds");
        return false;
    }
    ::setenv("WAYLAND_DISPLAY", sSocket.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "wayland", 1);
    return true;
}

void stop() {
    stopProcess(pidTrayer);
    stopProcess(pidXvfb);
    stopProcess(pidWeston);
}
} // namespace VirtualDesktop
