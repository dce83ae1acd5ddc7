// Start-up of the built binary up to serving: the key file, the user
// switch, the milter socket, detaching, the PID file and the descriptors.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/process/daemon.h"
#include "tests/support/blackbox.h"

namespace {

using vellicor_test::filter_dir;
using vellicor_test::vellicor;

constexpr uid_t nobody_uid = 65534;

// The user "nobody" as the system knows it, or nothing.
std::optional<passwd> nobody() {
    passwd* pw = getpwnam("nobody");
    if (pw == nullptr || pw->pw_uid != nobody_uid) {
        return std::nullopt;
    }
    return *pw;
}

TEST(KeyFile, FailuresExitUnavailableBeforeTheSocketExists) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    blackbox::write_file(f.dir.file("empty"), "");
    blackbox::write_file(f.dir.file("empty-line"), "\nsecret on the second line\n", 0600);
    struct case_ {
        std::string key;      // -k argument
        std::string message;  // expected standard error
    };
    std::vector<case_> cases = {
        {f.dir.file("nokey"),
         "vellicor: " + f.dir.file("nokey") + ": fopen(): No such file or directory\n"},
        {f.dir.file("empty"), "vellicor: " + f.dir.file("empty") + ": empty file\n"},
        {f.dir.path(), "vellicor: " + f.dir.path() + ": not a regular file\n"},
        {"/dev/zero", "vellicor: /dev/zero: not a regular file\n"},
        {f.dir.file("empty-line"), "vellicor: " + f.dir.file("empty-line") + ": empty key\n"},
        // Relative to the working directory.
        {"nokey", "vellicor: nokey: fopen(): No such file or directory\n"},
    };
    // A sysfs attribute claims a size of a page but delivers a few bytes.
    const std::string short_file = "/sys/kernel/uevent_seqnum";
    struct stat st {};
    if (stat(short_file.c_str(), &st) == 0 && st.st_size > 64) {
        cases.push_back(
            {short_file, "vellicor: " + short_file + ": fread(): unexpected end-of-file\n"});
    }
    for (const case_& c : cases) {
        SCOPED_TRACE(c.key);
        blackbox::command cmd = vellicor({"-p", f.socket_spec(), "-k", c.key, "-P", f.pid_file});
        cmd.cwd = f.dir.path();
        blackbox::outcome r = blackbox::run(cmd);
        ASSERT_TRUE(r.exit.exited) << blackbox::describe(r.exit);
        EXPECT_EQ(r.exit.status, 69);
        EXPECT_EQ(r.err, c.message);
        EXPECT_FALSE(blackbox::path_exists(f.socket));
        EXPECT_FALSE(blackbox::path_exists(f.pid_file));
    }
}

TEST(KeyFile, UnreadableForTheStartingUser) {
    if (!blackbox::running_as_root() || !nobody()) {
        GTEST_SKIP() << "needs root and the user nobody";
    }
    filter_dir f;
    chmod(f.key.c_str(), 0600);
    blackbox::command cmd = vellicor({"-p", f.socket_spec(), "-k", f.key});
    cmd.uid = nobody_uid;
    cmd.gid = nobody()->pw_gid;
    blackbox::outcome r = blackbox::run(cmd);
    EXPECT_EQ(r.exit.status, 69);
    EXPECT_EQ(r.err, "vellicor: " + f.key + ": fopen(): Permission denied\n");
}

TEST(KeyFile, AcceptedContents) {
    blackbox::child_sweeper sweeper;
    const std::string contents[] = {
        "key-without-newline",
        "first-line\nsecond line\nthird line\n",
    };
    for (const std::string& content : contents) {
        SCOPED_TRACE(content);
        filter_dir f;
        blackbox::write_file(f.key, content, 0600);
        blackbox::process p = blackbox::process::start(vellicor(f.args({"-f"})));
        EXPECT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
        EXPECT_TRUE(p.running());
        EXPECT_EQ(p.err(), "");
    }
}

// The lists come after the key, in a fixed order, each failure with the
// loader's message and status.
TEST(Lists, FailuresInOrder) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    const std::string missing = f.dir.file("missing");
    const std::string missing2 = f.dir.file("missing2");
    const std::string no_file = ": fopen(): No such file or directory\n";
    struct case_ {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const case_ cases[] = {
        {{"-a", missing}, 69, "vellicor: " + missing + no_file},
        {{"-i", missing}, 69, "vellicor: " + missing + no_file},
        {{"-i", missing2, "-a", missing}, 69, "vellicor: " + missing + no_file},
        // The key comes first.
        {{"-a", missing, "-k", missing2}, 69, "vellicor: " + missing2 + no_file},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = {"-p", f.socket_spec()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (std::find(args.begin(), args.end(), "-k") == args.end()) {
            args.insert(args.end(), {"-k", f.key});
        }
        blackbox::outcome r = blackbox::run(vellicor(args));
        EXPECT_EQ(r.exit.status, c.status);
        EXPECT_EQ(r.err, c.message);
        EXPECT_FALSE(blackbox::path_exists(f.socket));
    }
}

TEST(Lists, DomainListFailureIsAnOsError) {
    std::optional<passwd> pw = nobody();
    if (!blackbox::running_as_root() || !pw) {
        GTEST_SKIP() << "needs root and the user nobody";
    }
    filter_dir f;
    const std::string domains = f.dir.file("domains");
    blackbox::write_file(domains, "example.com\n", 0600);
    // The key is nobody's own, so that only the domain file is unreadable.
    ASSERT_EQ(chown(f.key.c_str(), nobody_uid, pw->pw_gid), 0);
    blackbox::command cmd = vellicor({"-p", f.socket_spec(), "-k", f.key, "-d", domains});
    cmd.uid = nobody_uid;
    cmd.gid = pw->pw_gid;
    blackbox::outcome r = blackbox::run(cmd);
    EXPECT_EQ(r.exit.status, 71);
    EXPECT_EQ(r.err, "vellicor: " + domains + ": fopen(): Permission denied\n");
}

// The key and the lists are read before the user switch: they need only be
// readable by the starting user.
TEST(UserSwitch, FilesReadBeforeTheSwitch) {
    if (!blackbox::running_as_root() || !nobody()) {
        GTEST_SKIP() << "needs root and the user nobody";
    }
    blackbox::child_sweeper sweeper;
    filter_dir f;
    chmod(f.key.c_str(), 0600);
    const std::string allow = f.dir.file("allow");
    const std::string internal = f.dir.file("internal");
    const std::string domains = f.dir.file("domains");
    blackbox::write_file(allow, "*@example.com\n", 0600);
    blackbox::write_file(internal, "192.0.2.0/24\n", 0600);
    blackbox::write_file(domains, "example.com\n", 0600);
    blackbox::process p = blackbox::process::start(
        vellicor(f.args({"-f", "-u", "nobody", "-a", allow, "-i", internal, "-d", domains})));
    EXPECT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
    EXPECT_EQ(p.err(), "");
}

// The serving process after -u: user, group and supplementary groups are
// all the target user's; nothing of root's remains.
TEST(UserSwitch, SwitchesUserGroupAndSupplementaryGroups) {
    std::optional<passwd> pw = nobody();
    if (!blackbox::running_as_root() || !pw) {
        GTEST_SKIP() << "needs root and the user nobody";
    }
    const gid_t gid = pw->pw_gid;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    ASSERT_NE(getgrouplist("nobody", gid, groups.data(), &count), -1);
    std::vector<long> expected_groups(groups.begin(), groups.begin() + count);
    std::sort(expected_groups.begin(), expected_groups.end());

    blackbox::child_sweeper sweeper;
    for (const std::string user : {"nobody", "65534"}) {
        SCOPED_TRACE(user);
        filter_dir f;
        blackbox::process p = blackbox::process::start(vellicor(f.args({"-f", "-u", user})));
        ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
        const long uid = nobody_uid;
        EXPECT_EQ(blackbox::proc_status_numbers(p.pid(), "Uid"),
                  (std::vector<long>{uid, uid, uid, uid}));
        const long g = gid;
        EXPECT_EQ(blackbox::proc_status_numbers(p.pid(), "Gid"), (std::vector<long>{g, g, g, g}));
        std::vector<long> groups_now = blackbox::proc_status_numbers(p.pid(), "Groups");
        std::sort(groups_now.begin(), groups_now.end());
        EXPECT_EQ(groups_now, expected_groups);
        EXPECT_EQ(std::count(groups_now.begin(), groups_now.end(), 0L), 0);
        // The files it creates after the switch belong to the user.
        struct stat st {};
        ASSERT_EQ(stat(f.pid_file.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, nobody_uid);
        EXPECT_EQ(p.err(), "");
    }
}

TEST(UserSwitch, NoSuchUser) {
    blackbox::child_sweeper sweeper;
    std::vector<std::string> users = {"123abc", "no-such-user-here", ""};
    // A number that no user has is no user either.
    for (uid_t candidate : {uid_t{987654}, uid_t{3999999999u}}) {
        if (getpwuid(candidate) == nullptr) {
            users.push_back(std::to_string(candidate));
        }
    }
    for (const std::string& user : users) {
        SCOPED_TRACE(user);
        filter_dir f;
        blackbox::outcome r = blackbox::run(vellicor(f.args({"-u", user})));
        EXPECT_EQ(r.exit.status, 65);
        EXPECT_EQ(r.err, "vellicor: no such user `" + user + "'\n");
        EXPECT_FALSE(blackbox::path_exists(f.socket));
    }
}

TEST(UserSwitch, WithoutPrivilegeExitsNoPerm) {
    std::optional<passwd> pw = nobody();
    if (!blackbox::running_as_root() || !pw) {
        GTEST_SKIP() << "needs root and the user nobody";
    }
    blackbox::child_sweeper sweeper;
    for (const std::string user : {"root", "0"}) {
        SCOPED_TRACE(user);
        filter_dir f;
        ASSERT_EQ(chown(f.key.c_str(), nobody_uid, pw->pw_gid), 0);
        blackbox::command cmd = vellicor(f.args({"-u", user}));
        cmd.uid = nobody_uid;
        cmd.gid = pw->pw_gid;
        blackbox::outcome r = blackbox::run(cmd);
        EXPECT_EQ(r.exit.status, 77);
        EXPECT_EQ(r.err, "vellicor: initgroups(): Operation not permitted\n");
        EXPECT_FALSE(blackbox::path_exists(f.socket));
    }
}

// The socket is opened before the fork, so the starting process itself
// reports a socket that cannot be opened.
TEST(Socket, FailureReportedByTheStartingProcess) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    struct case_ {
        std::string spec;
        std::string reason;  // the system's error, where there is one
    };
    const case_ cases[] = {
        {"unix:" + f.dir.file("no-such-dir/milter.sock"), ": No such file or directory"},
        {"nonsense:" + f.dir.file("milter.sock"), ""},
    };
    for (const auto& [spec, reason] : cases) {
        SCOPED_TRACE(spec);
        blackbox::outcome r = blackbox::run(vellicor({"-p", spec, "-k", f.key, "-P", f.pid_file}));
        ASSERT_TRUE(r.exit.exited) << blackbox::describe(r.exit);
        EXPECT_EQ(r.exit.status, 69);
        EXPECT_EQ(r.err, "vellicor: " + spec + ": smfi_opensocket() failed" + reason + "\n");
        EXPECT_FALSE(blackbox::path_exists(f.pid_file));
        EXPECT_TRUE(blackbox::child_pids().empty()) << "a child was forked";
    }
}

// In the background the starting process exits 0 at once; the PID file
// names the child that serves, which removes it when the milter library
// stops. With -D the library's debug output shows (on the inherited
// standard output, flushed at exit).
TEST(Background, PidFileNamesTheServingChild) {
    blackbox::child_sweeper sweeper;
    struct case_ {
        std::vector<std::string> extra;
        bool debug_output;
    };
    const case_ cases[] = {
        {{}, false},
        {{"-D", "9"}, true},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.extra));
        filter_dir f;
        blackbox::process starter = blackbox::process::start(vellicor(f.args(c.extra)));
        std::optional<blackbox::exit_info> started = starter.wait();
        ASSERT_TRUE(started && started->exited);
        EXPECT_EQ(started->status, 0) << starter.err();

        std::optional<pid_t> pid = blackbox::wait_for_pid_file(f.pid_file);
        ASSERT_TRUE(pid);
        blackbox::pid_guard serving(*pid);
        EXPECT_EQ(blackbox::read_file(f.pid_file), std::to_string(*pid) + "\n");
        EXPECT_NE(*pid, starter.pid());
        ASSERT_TRUE(blackbox::wait_for_milter(f.socket));
        // Detached into a session of its own.
        EXPECT_EQ(getsid(*pid), *pid);
        // Background mode keeps the descriptors it inherited.
        EXPECT_NE(blackbox::proc_fd_target(*pid, 1), "/dev/null");

        serving.signal(SIGTERM);
        std::optional<blackbox::exit_info> ended = serving.wait();
        ASSERT_TRUE(ended && ended->exited) << (ended ? blackbox::describe(*ended) : "running");
        EXPECT_EQ(ended->status, 0);
        EXPECT_FALSE(blackbox::path_exists(f.pid_file));
        EXPECT_EQ(starter.out().find("got cmd 'O'") != std::string::npos, c.debug_output)
            << starter.out();
        EXPECT_EQ(starter.err(), "");
    }
}

// With -f the process stays in the foreground but lets go of the terminal:
// standard input, output and error lead to /dev/null.
TEST(Foreground, StandardDescriptorsGoToDevNull) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    blackbox::process p = blackbox::process::start(vellicor(f.args({"-f"})));
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
    for (int fd = 0; fd <= 2; ++fd) {
        SCOPED_TRACE(fd);
        EXPECT_EQ(blackbox::proc_fd_target(p.pid(), fd), "/dev/null");
    }
    EXPECT_EQ(blackbox::read_file(f.pid_file), std::to_string(p.pid()) + "\n");
    EXPECT_EQ(getsid(p.pid()), p.pid());
}

// Started with standard input, output or error closed, the filter must not
// hand out their numbers to its socket: they are opened on /dev/null first,
// and the filter serves.
TEST(Foreground, ServesWhenStartedWithStandardDescriptorsClosed) {
    blackbox::child_sweeper sweeper;
    for (const char* closing : {"<&-", ">&-", "2>&-", "<&- >&- 2>&-"}) {
        SCOPED_TRACE(closing);
        filter_dir f;
        blackbox::command cmd;
        cmd.program = "/bin/sh";
        cmd.args = {"-c", std::string("exec \"$0\" \"$@\" ") + closing, vellicor_test::binary};
        for (const std::string& arg : f.args({"-f"})) {
            cmd.args.push_back(arg);
        }
        blackbox::process p = blackbox::process::start(cmd);
        EXPECT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
        EXPECT_TRUE(p.running());
    }
}

// A second filter on the socket of a running one ends with 69 and leaves
// the socket, the PID file and the traffic to the first.
TEST(Socket, LiveSocketIsNeverTakenOver) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    blackbox::process first = blackbox::process::start(vellicor(f.args({"-f"})));
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << first.err();
    const std::string first_pid = std::to_string(first.pid()) + "\n";
    ASSERT_EQ(blackbox::read_file(f.pid_file), first_pid);

    for (const std::string& spec : {f.socket_spec(), f.socket, "local:" + f.socket}) {
        SCOPED_TRACE(spec);
        blackbox::outcome second =
            blackbox::run(vellicor({"-f", "-p", spec, "-k", f.key, "-P", f.pid_file}));
        ASSERT_TRUE(second.exit.exited) << blackbox::describe(second.exit);
        EXPECT_EQ(second.exit.status, 69);
        EXPECT_EQ(second.err, "vellicor: " + f.socket + ": socket in use by another process\n");
        EXPECT_EQ(blackbox::read_file(f.pid_file), first_pid);
        EXPECT_TRUE(blackbox::wait_for_milter(f.socket, blackbox::milliseconds{0}));
    }
    EXPECT_TRUE(first.running());
}

// Whatever is at the socket path that is not a socket stays as it is.
TEST(Socket, NonSocketAtThePathIsLeftAlone) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    blackbox::write_file(f.socket, "precious\n");
    blackbox::outcome r = blackbox::run(vellicor(f.args({"-f"})));
    EXPECT_EQ(r.exit.status, 69);
    EXPECT_EQ(r.err, "vellicor: " + f.socket + ": not a socket; left untouched\n");
    EXPECT_EQ(blackbox::read_file(f.socket), "precious\n");
    EXPECT_FALSE(blackbox::path_exists(f.pid_file));
}

// The PID file is never written through a symbolic link, and a file this
// process did not write is not removed at its end.
TEST(PidFile, NotWrittenThroughASymbolicLink) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    const std::string target = f.dir.file("elsewhere");
    blackbox::write_file(target, "precious\n");
    ASSERT_EQ(symlink(target.c_str(), f.pid_file.c_str()), 0);
    blackbox::process p = blackbox::process::start(vellicor(f.args({"-f"})));
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
    EXPECT_EQ(blackbox::read_file(target), "precious\n");

    p.signal(SIGTERM);
    std::optional<blackbox::exit_info> end = p.wait();
    ASSERT_TRUE(end && end->exited) << (end ? blackbox::describe(*end) : "running");
    EXPECT_EQ(end->status, 0);
    struct stat st {};
    EXPECT_EQ(lstat(f.pid_file.c_str(), &st), 0) << "the link stays";
    EXPECT_EQ(blackbox::read_file(target), "precious\n");
}

}  // namespace
