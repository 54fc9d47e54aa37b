// Daemon mode: closing inherited descriptors, the working directory used when
// the current one is gone, and daemonize itself in forked processes (what the
// detached child looks like, and the messages of its failures).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "capture.h"
#include "daemon_mode.h"

namespace {

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

class DaemonMode : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/daemon_mode_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        if (system(command.c_str()) != 0) {
            ADD_FAILURE() << "could not remove " << dir_;
        }
    }

    // The text of `path` once it holds a line "end", or what it holds after
    // thirty seconds: the detached grandchild writes it in its own time.
    static std::string wait_for_report(const std::string& path) {
        std::string text;
        for (int i = 0; i < 3000; ++i) {
            std::ifstream in(path);
            std::stringstream buffer;
            buffer << in.rdbuf();
            text = buffer.str();
            if (text.find("end\n") != std::string::npos) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return text;
    }

    // Forks; the child runs daemonize with the given arguments and, in the
    // detached grandchild, `after` (success) or writes the exception's text
    // to `report` (failure). Returns the exit status of the forked child,
    // which is the parent side of daemonize.
    template <typename F>
    int fork_and_daemonize(const std::string& directory, const std::string& in,
                           const std::string& out, const std::string& report, F after) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            try {
                daemonize(directory, in, out, out);
                after();
            } catch (const std::runtime_error& e) {
                FILE* file = fopen(report.c_str(), "w");
                if (file != nullptr) {
                    fprintf(file, "%s\nend\n", e.what());
                    fclose(file);
                }
            }
            _exit(0);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        return status;
    }

    std::string dir_;
};

}  // namespace

TEST(CloseDescriptors, ClosesFromTheLowestUpAndKeepsTheRest) {
    EXPECT_EXIT(
        {
            int base = open("/dev/null", O_RDONLY);
            bool ok = base >= 0 && dup2(base, 10) == 10 && dup2(base, 999) == 999 &&
                      dup2(base, 1005) == 1005 && dup2(base, 1500) == 1500;
            close_descriptors_from(1000, 4096);
            ok = ok && is_open(0) && is_open(10) && is_open(999) && !is_open(1000) &&
                 !is_open(1005) && !is_open(1500);
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(CloseDescriptors, FromZeroClosesEverything) {
    EXPECT_EXIT(
        {
            int fd = open("/dev/null", O_RDONLY);
            bool ok = fd >= 0 && dup2(fd, 1200) == 1200;
            close_descriptors_from(0, 1024);
            ok = ok && !is_open(0) && !is_open(1) && !is_open(2) && !is_open(fd) && !is_open(1200);
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DaemonMode, CurrentDirectoryFollowsTheProcess) {
    std::string deep = dir_;
    // Longer than the first buffer the lookup tries.
    for (int i = 0; i < 12; ++i) {
        deep += "/" + std::string(40, static_cast<char>('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0) << deep;
    }
    EXPECT_EXIT(
        {
            bool ok = chdir(dir_.c_str()) == 0 && current_directory() == dir_ &&
                      chdir(deep.c_str()) == 0 && current_directory() == deep;
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DaemonMode, CurrentDirectoryIsRootWhenTheCwdWasRemoved) {
    std::string gone = dir_ + "/gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    EXPECT_EXIT(
        {
            bool ok =
                chdir(gone.c_str()) == 0 && rmdir(gone.c_str()) == 0 && current_directory() == "/";
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DaemonMode, DetachedChildHasNewSessionMaskAndDescriptors) {
    const std::string out = dir_ + "/out";
    int high = open("/dev/null", O_RDONLY);
    ASSERT_GE(high, 0);
    ASSERT_EQ(dup2(high, 77), 77);
    close(high);
    umask(022);
    int status = fork_and_daemonize(dir_, "/dev/null", out, dir_ + "/report", [] {
        char cwd[4096] = "";
        printf("fd3 %s\n", is_open(3) ? "open" : "closed");  // the pipe to the parent
        for (int i = 0; i < startup_steps; ++i) {
            startup_step_done();
        }
        printf("session leader %d\n", getsid(0) == getpid() ? 1 : 0);
        printf("umask %03o\n", static_cast<unsigned>(umask(0)));
        printf("cwd %s\n", getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?");
        printf("fd77 %s\n", is_open(77) ? "open" : "closed");
        printf("fd3 %s\n", is_open(3) ? "open" : "closed");
        printf("stdin O_RDONLY %d\n", (fcntl(0, F_GETFL) & O_ACCMODE) == O_RDONLY ? 1 : 0);
        printf("end\n");
        fflush(stdout);
    });
    close(77);
    umask(022);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);  // the parent side ends with 0 once the steps are done
    std::string report = wait_for_report(out);
    EXPECT_EQ(report, "fd3 open\nsession leader 1\numask 000\ncwd " + dir_ +
                          "\nfd77 closed\nfd3 closed\nstdin O_RDONLY 1\nend\n");
    // The output file was created under mask 0: exactly the requested mode.
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DaemonMode, FailuresAreReportedWithTheirMessages) {
    const std::string report = dir_ + "/report";
    auto unexpected = [] { printf("returned\nend\n"); };

    // The child ends without finishing its start-up: the parent side fails.
    int status =
        fork_and_daemonize(dir_ + "/missing", "/dev/null", "/dev/null", report, unexpected);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(wait_for_report(report), "No such file or directory\nend\n");

    ASSERT_EQ(unlink(report.c_str()), 0);
    status = fork_and_daemonize("", dir_ + "/no/input", dir_ + "/out", report, unexpected);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(wait_for_report(report),
              "new standard file descriptors were not opened as expected\nend\n");
}

// The parent's side: what the child said and how it ended decide the status
// and what the command prints.
TEST(AwaitStartup, StatusAndTextFollowTheChildsOutcome) {
    struct Case {
        const char* name;
        void (*child)(int fd);
        int limit_ms;
        const char* err;
        int status;
        const char* child_end;  // how the child ended, seen after the wait
    };
    const Case cases[] = {
        {"finished after a note",
         [](int fd) {
             (void)!write(fd, "a note\n", 7);
             (void)!write(fd, "", 1);
             sleep(2);
             _exit(0);
         },
         5000, "a note\n", 0, "running"},
        {"failure message, then exit",
         [](int fd) {
             (void)!write(fd, "mnl_socket_send: Connection refused\n", 36);
             _exit(1);
         },
         5000, "mnl_socket_send: Connection refused\n", 1, "exit 1"},
        {"silent exit", [](int) { _exit(3); }, 5000,
         "vorlask: daemon mode: the daemon ended during its start-up (exit status 3)\n", 1, "gone"},
        {"killed", [](int) { raise(SIGKILL); }, 5000,
         "vorlask: daemon mode: the daemon ended during its start-up (killed by signal 9)\n", 1,
         "gone"},
        {"never finishes",
         [](int fd) {
             (void)!write(fd, "partial", 7);
             pause();
         },
         300,
         "partialvorlask: daemon mode: the daemon did not finish its start-up within 0.3 s; it "
         "was stopped\n",
         1, "signal 9"},
    };
    for (const Case& c : cases) {
        ChildResult r = run_in_child([&] {
            int ends[2];
            if (pipe(ends) != 0) {
                _exit(90);
            }
            pid_t pid = fork();
            if (pid == 0) {
                close(ends[0]);
                c.child(ends[1]);
                _exit(0);
            }
            close(ends[1]);
            const int status = await_startup(ends[0], pid, c.limit_ms);
            int end = 0;
            pid_t reaped = waitpid(pid, &end, WNOHANG);
            // A child that should have ended gets a moment to be reaped.
            for (int i = 0; reaped == 0 && i < 200 && strcmp(c.child_end, "running") != 0; ++i) {
                usleep(10000);
                reaped = waitpid(pid, &end, WNOHANG);
            }
            const std::string child_end = reaped == 0  ? "running"
                                          : reaped < 0 ? "gone"
                                          : WIFSIGNALED(end)
                                              ? "signal " + std::to_string(WTERMSIG(end))
                                              : "exit " + std::to_string(WEXITSTATUS(end));
            if (reaped == 0) {
                kill(pid, SIGKILL);
            }
            printf("%d %s\n", status, child_end.c_str());
        });
        EXPECT_EQ(r.out, std::to_string(c.status) + " " + c.child_end + "\n") << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}
