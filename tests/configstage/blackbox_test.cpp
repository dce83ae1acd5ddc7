// Black-box tests of the built filter with a configuration file: options
// against keys, invalid values, reader errors, where relative paths are
// taken from, and every list file that can stop start-up.
//
// Each test works in a fresh directory R laid out as
//   R/vellicor.conf  the configuration (-c)
//   R/start/         the directory the filter is started in
//   R/base/key       a key file; R/base is what BaseDirectory names
// "{root}" in the tables stands for R.
#include "tests/support/blackbox.h"

#include <gtest/gtest.h>
#include <regex.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sysexits.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string binary = VELLICOR_BINARY;

std::string expand(std::string text, const std::string& root) {
    static const std::string mark = "{root}";
    for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
        text.replace(at, mark.size(), root);
    return text;
}

// A UNIX-domain socket file: it exists, so access() finds it, but fopen()
// cannot open it (ENXIO), even for root.
void make_socket_file(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0)
        << path << ": " << std::strerror(errno);
    close(fd);
}

struct file_spec {
    enum kind_t { regular, directory, unix_socket, fifo };
    std::string name;  // below R
    std::string content;
    kind_t kind = regular;
};

// The directory layout above, with the files a case needs.
struct layout {
    blackbox::temp_dir dir;
    std::string root = dir.path();
    std::string conf = root + "/vellicor.conf";
    std::string start = root + "/start";

    layout(const std::string& config, const std::vector<file_spec>& files) {
        fs::create_directories(start);
        fs::create_directories(root + "/base");
        blackbox::write_file(root + "/base/key", "demo-secret\n", 0600);
        blackbox::write_file(conf, expand(config, root));
        for (const file_spec& f : files) {
            const std::string path = root + "/" + f.name;
            fs::create_directories(fs::path(path).parent_path());
            switch (f.kind) {
                case file_spec::regular:
                    blackbox::write_file(path, expand(f.content, root), 0600);
                    break;
                case file_spec::directory:
                    fs::create_directories(path);
                    break;
                case file_spec::unix_socket:
                    make_socket_file(path);
                    break;
                case file_spec::fifo:
                    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
                    break;
            }
        }
    }

    // vellicor -c R/vellicor.conf args..., started in R/start.
    blackbox::command command(const std::vector<std::string>& args) const {
        blackbox::command cmd;
        cmd.program = binary;
        cmd.argv0 = "vellicor";
        cmd.args = {"-c", conf};
        for (const std::string& a : args) cmd.args.push_back(expand(a, root));
        cmd.cwd = start;
        return cmd;
    }
};

// What regcomp says about an unmatched '[', as the allow list compiles it.
std::string regcomp_text(const char* pattern) {
    regex_t re;
    const int rc = regcomp(&re, pattern, REG_ICASE);
    if (rc == 0) {
        regfree(&re);
        return "(compiles)";
    }
    char text[513] = {};
    regerror(rc, &re, text, 512);
    return text;
}

// A configuration that lets start-up get as far as the socket.
const std::string serve = "Socket unix:{root}/milter.sock\nKeyFile {root}/base/key\n";

// ---------------------------------------------------------------------------
// Start-up ends with a message and a status

struct failure_case {
    const char* name;
    std::vector<file_spec> files;
    std::string config;
    std::vector<std::string> args;
    std::string message;
    int status;
};

void run_failure(const failure_case& c) {
    layout l(c.config, c.files);
    const blackbox::outcome o = blackbox::run(l.command(c.args));
    ASSERT_FALSE(o.timed_out);
    EXPECT_TRUE(o.exit.exited) << blackbox::describe(o.exit);
    EXPECT_EQ(o.exit.status, c.status);
    EXPECT_EQ(o.err, expand(c.message, l.root));
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(blackbox::path_exists(l.root + "/milter.sock"));
}

void run_failures(const std::vector<failure_case>& cases) {
    // A case that wrongly starts the filter leaves a forked daemon behind.
    blackbox::child_sweeper sweeper;
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.name);
        run_failure(c);
    }
}

TEST(ConfigStageBlackbox, ReaderErrorsNameFileAndLine) {
    run_failures({
        {"unknown key",
         {},
         serve + "\nNoSuchKey yes\n",
         {},
         "vellicor: {root}/vellicor.conf: configuration error at line 4: unrecognized parameter\n",
         EX_CONFIG},
        {"key without value",
         {},
         "# socket next\nSocket\n",
         {},
         "vellicor: {root}/vellicor.conf: configuration error at line 2: required value "
         "missing\n",
         EX_CONFIG},
        {"integer with trailing letters",
         {},
         serve + "KeyVersion 12abc\n",
         {},
         "vellicor: {root}/vellicor.conf: configuration error at line 3: illegal value\n",
         EX_CONFIG},
        {"error inside an included file",
         {{"inc.conf", "LogWhy yes\n\nSyslog maybe\n"}},
         serve + "Include {root}/inc.conf\n",
         {},
         "vellicor: {root}/inc.conf: configuration error at line 3: illegal value\n",
         EX_CONFIG},
        {"included file missing",
         {},
         "Include {root}/none.conf\n",
         {},
         "vellicor: {root}/none.conf: configuration error at line 0: error reading "
         "configuration file: No such file or directory\n",
         EX_CONFIG},
        {"line longer than 511 characters",
         {},
         serve + "Socket " + std::string(600, 's') + "\n",
         {},
         "vellicor: {root}/vellicor.conf: configuration error at line 3: error reading "
         "configuration file: line longer than 511 characters\n",
         EX_CONFIG},
    });
}

TEST(ConfigStageBlackbox, MissingConfigurationFile) {
    blackbox::child_sweeper sweeper;
    blackbox::temp_dir dir;
    blackbox::command cmd;
    cmd.program = binary;
    cmd.argv0 = "vellicor";
    cmd.args = {"-c", dir.file("none.conf"), "-p", "unix:" + dir.file("s"), "-k", dir.file("k")};
    const blackbox::outcome o = blackbox::run(cmd);
    EXPECT_EQ(o.exit.status, EX_CONFIG);
    EXPECT_EQ(o.err, "vellicor: " + dir.file("none.conf") +
                         ": configuration error at line 0: error reading configuration file: "
                         "No such file or directory\n");
}

// A configuration file that exists but cannot be read says why. As root the
// filter is started as another user, for whom the file is not readable.
TEST(ConfigStageBlackbox, UnreadableConfigurationFileSaysWhy) {
    blackbox::child_sweeper sweeper;
    blackbox::temp_dir dir(0755);
    const std::string conf = dir.file("secret.conf");
    blackbox::write_file(conf, serve, 0000);
    blackbox::command cmd;
    cmd.program = binary;
    cmd.argv0 = "vellicor";
    cmd.args = {"-c", conf};
    if (blackbox::running_as_root()) {
        cmd.uid = 65534;
        cmd.gid = 65534;
    }
    const blackbox::outcome o = blackbox::run(cmd);
    ASSERT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit.status, EX_CONFIG);
    EXPECT_EQ(o.err, "vellicor: " + conf +
                         ": configuration error at line 0: error reading configuration file: "
                         "Permission denied\n");
}

// Configuration and list files must be regular files: a device or a FIFO
// would keep start-up waiting, or reading, for ever. The FIFOs have no
// writer, so even the open must not wait.
TEST(ConfigStageBlackbox, NonRegularFilesAreRefused) {
    const std::string conf_error =
        ": configuration error at line 0: error reading configuration file: not a regular file\n";
    const file_spec fifo{"fifo", "", file_spec::fifo};
    run_failures({
        {"Include of a device",
         {},
         serve + "Include /dev/zero\n",
         {},
         "vellicor: /dev/zero" + conf_error,
         EX_CONFIG},
        {"Include of a FIFO",
         {fifo},
         serve + "Include {root}/fifo\n",
         {},
         "vellicor: {root}/fifo" + conf_error,
         EX_CONFIG},
        {"Include of a directory",
         {},
         serve + "Include {root}/start\n",
         {},
         "vellicor: {root}/start" + conf_error,
         EX_CONFIG},
        {"PeerList a device",
         {},
         serve + "PeerList /dev/zero\n",
         {},
         "vellicor: /dev/zero: not a regular file\n",
         EX_UNAVAILABLE},
        {"PeerList a FIFO",
         {fifo},
         serve + "PeerList {root}/fifo\n",
         {},
         "vellicor: {root}/fifo: not a regular file\n",
         EX_UNAVAILABLE},
        {"allow list a device",
         {},
         serve + "DontSignMailTo /dev/zero\n",
         {},
         "vellicor: /dev/zero: not a regular file\n",
         EX_UNAVAILABLE},
        {"allow list a FIFO",
         {fifo},
         serve,
         {"-a", "{root}/fifo"},
         "vellicor: {root}/fifo: not a regular file\n",
         EX_UNAVAILABLE},
        {"internal hosts a device",
         {},
         serve + "InternalHosts /dev/zero\n",
         {},
         "vellicor: /dev/zero: not a regular file\n",
         EX_UNAVAILABLE},
        {"internal hosts a FIFO",
         {fifo},
         serve,
         {"-i", "{root}/fifo"},
         "vellicor: {root}/fifo: not a regular file\n",
         EX_UNAVAILABLE},
        {"domain file a device",
         {},
         serve + "Domain /dev/zero\n",
         {},
         "vellicor: /dev/zero: not a regular file\n",
         EX_OSERR},
        {"domain file a FIFO",
         {fifo},
         serve,
         {"-d", "{root}/fifo"},
         "vellicor: {root}/fifo: not a regular file\n",
         EX_OSERR},
        {"domain file a directory",
         {},
         serve,
         {"-d", "{root}/start"},
         "vellicor: {root}/start: not a regular file\n",
         EX_OSERR},
    });
}

// -c itself, with a device and with a FIFO; standard input ("-c -") stays
// allowed, whatever it is.
TEST(ConfigStageBlackbox, ConfigurationFileMustBeRegular) {
    blackbox::child_sweeper sweeper;
    blackbox::temp_dir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string tail =
        ": configuration error at line 0: error reading configuration file: not a regular file\n";
    struct case_ {
        std::string conf;
        int status;
        std::string err_start;
    };
    const case_ cases[] = {
        {"/dev/zero", EX_CONFIG, "vellicor: /dev/zero" + tail},
        {fifo, EX_CONFIG, "vellicor: " + fifo + tail},
        // Standard input is /dev/null here: no settings, so no socket.
        {"-", EX_USAGE, "vellicor: usage: vellicor -p socketfile -k key [options]\n"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.conf);
        blackbox::command cmd;
        cmd.program = binary;
        cmd.argv0 = "vellicor";
        cmd.args = {"-c", c.conf};
        const blackbox::outcome o = blackbox::run(cmd);
        ASSERT_FALSE(o.timed_out);
        EXPECT_EQ(o.exit.status, c.status);
        EXPECT_EQ(o.err.substr(0, c.err_start.size()), c.err_start);
    }
}

// Lines are read whole: a long comment is one comment, however its tail
// reads, and a longer line of data is refused with its number.
TEST(ConfigStageBlackbox, LongLines) {
    const std::string long_comment = "# " + std::string(600, 'c');
    run_failures({
        // The tail of the comment would be an unknown key; as a comment it
        // lets start-up go on as far as the key file.
        {"long comment in the configuration",
         {},
         "Socket unix:{root}/milter.sock\nKeyFile {root}/nokey\n" + long_comment +
             " NoSuchKey yes\n",
         {},
         "vellicor: {root}/nokey: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"allow list line too long",
         {{"base/allow", "*@example.com\n" + std::string(600, 'a') + "\n"}},
         serve + "DontSignMailTo {root}/base/allow\n",
         {},
         "vellicor: {root}/base/allow: line 2 is longer than 511 characters\n",
         EX_UNAVAILABLE},
        {"internal hosts line too long",
         {{"ih", std::string(512, 'h') + "\n"}},
         serve + "InternalHosts {root}/ih\n",
         {},
         "vellicor: {root}/ih: line 1 is longer than 511 characters\n",
         EX_UNAVAILABLE},
        {"domain file line too long",
         {{"domains", "example.com\n\n\n" + std::string(512, 'd') + "\n"}},
         serve + "Domain {root}/domains\n",
         {},
         "vellicor: {root}/domains: line 4 is longer than 511 characters\n",
         EX_OSERR},
        {"PeerList line too long, comment or not",
         {{"peers", "mx.example.net\n# " + std::string(600, 'p') + "\n"}},
         serve + "PeerList {root}/peers\n",
         {},
         "vellicor: {root}/peers: line 2 is longer than 511 characters\n",
         EX_UNAVAILABLE},
    });
}

TEST(ConfigStageBlackbox, SignatureTTLOutOfRange) {
    const std::string message = "vellicor: {root}/vellicor.conf: invalid signature TTL\n";
    run_failures({
        {"negative", {}, serve + "SignatureTTL -5\n", {}, message, EX_CONFIG},
        {"minus two", {}, serve + "SignatureTTL -2\n", {}, message, EX_CONFIG},
        {"beyond 32 bits", {}, serve + "SignatureTTL 4294967296\n", {}, message, EX_CONFIG},
        {"beyond 32 bits, small low bits",
         {},
         serve + "SignatureTTL 0x100000007\n",
         {},
         message,
         EX_CONFIG},
        // A bad -t is refused by the option stage as before.
        {"-t negative",
         {},
         serve,
         {"-t", "-5"},
         "vellicor: invalid signature TTL `-5'\n",
         EX_USAGE},
    });
}

TEST(ConfigStageBlackbox, InvalidValues) {
    run_failures({
        {"KeyVersion 12",
         {},
         serve + "KeyVersion 12\n",
         {},
         "vellicor: {root}/vellicor.conf: invalid key version\n",
         EX_CONFIG},
        {"KeyVersion -2",
         {},
         serve + "KeyVersion -2\n",
         {},
         "vellicor: {root}/vellicor.conf: invalid key version\n",
         EX_CONFIG},
        {"Mode V",
         {},
         serve + "Mode V\n",
         {},
         "vellicor: {root}/vellicor.conf: invalid mode\n",
         EX_CONFIG},
        {"Mode s,v",
         {},
         serve + "Mode s,v\n",
         {},
         "vellicor: {root}/vellicor.conf: invalid mode\n",
         EX_CONFIG},
        {"AutoRestartRate with the AutoRestart key",
         {},
         serve + "AutoRestart yes\nAutoRestartRate 5/10ms\n",
         {},
         "vellicor: AutoRestartRate invalid\n",
         EX_CONFIG},
        {"AutoRestartRate with -A",
         {},
         serve + "AutoRestartRate -1/10\n",
         {"-A"},
         "vellicor: AutoRestartRate invalid\n",
         EX_CONFIG},
        {"AutoRestartRate of no seconds",
         {},
         serve + "AutoRestartRate 5/0\n",
         {"-A"},
         "vellicor: AutoRestartRate invalid\n",
         EX_CONFIG},
        {"the first fault in lookup order",
         {},
         serve + "PeerList nowhere\nMode V\nKeyVersion 12\nAutoRestart yes\nAutoRestartRate 5\n",
         {},
         "vellicor: AutoRestartRate invalid\n",
         EX_CONFIG},
        {"then key version before mode",
         {},
         serve + "PeerList nowhere\nMode V\nKeyVersion 12\n",
         {},
         "vellicor: {root}/vellicor.conf: invalid key version\n",
         EX_CONFIG},
        {"then mode before PeerList",
         {},
         serve + "PeerList nowhere\nMode V\n",
         {},
         "vellicor: {root}/vellicor.conf: invalid mode\n",
         EX_CONFIG},
        {"SyslogFacility unknown",
         {},
         serve + "Syslog yes\nSyslogFacility bogus\n",
         {},
         "vellicor: unknown syslog facility `bogus'\n",
         EX_CONFIG},
    });
}

TEST(ConfigStageBlackbox, WhereRelativePathsAreTaken) {
    const std::string base = "BaseDirectory {root}/base\n";
    run_failures({
        {"PeerList from the starting directory, not BaseDirectory",
         {{"base/peers", "x\n"}},
         serve + base + "PeerList peers\n",
         {},
         "vellicor: peers: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"PeerList that cannot be opened",
         {{"psock", "", file_spec::unix_socket}},
         serve + "PeerList {root}/psock\n",
         {},
         "vellicor: {root}/psock: fopen(): No such device or address\n",
         EX_UNAVAILABLE},
        {"KeyFile from BaseDirectory, not the starting directory",
         {{"start/key2", "k\n"}},
         "Socket unix:{root}/milter.sock\n" + base + "KeyFile key2\n",
         {},
         "vellicor: key2: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"BaseDirectory missing: chdir before the key file",
         {},
         "Socket unix:{root}/milter.sock\nKeyFile {root}/nokey\nBaseDirectory {root}/nodir\n",
         {},
         "vellicor: {root}/nodir: chdir(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"allow list from BaseDirectory",
         {{"start/allow", "*@example.com\n"}},
         serve + base + "DontSignMailTo allow\n",
         {},
         "vellicor: allow: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"internal hosts from BaseDirectory",
         {{"start/ih", "10.0.0.0/8\n"}},
         serve + base + "InternalHosts ih\n",
         {},
         "vellicor: ih: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
    });
}

TEST(ConfigStageBlackbox, OptionsWinOverKeys) {
    // Each option names something that fails, while the key names something
    // good (or the other way round): the message shows which one was used.
    run_failures({
        {"-k over KeyFile",
         {},
         serve,
         {"-k", "{root}/optkey"},
         "vellicor: {root}/optkey: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"KeyFile without -k",
         {},
         "Socket unix:{root}/milter.sock\nKeyFile {root}/filekey\n",
         {},
         "vellicor: {root}/filekey: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"-a over DontSignMailTo",
         {{"allow", "*@example.com\n"}},
         serve + "DontSignMailTo {root}/allow\n",
         {"-a", "{root}/optallow"},
         "vellicor: {root}/optallow: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"-i over InternalHosts",
         {{"ih", "10.0.0.0/8\n"}},
         serve + "InternalHosts {root}/ih\n",
         {"-i", "{root}/optih"},
         "vellicor: {root}/optih: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"-d over Domain",
         {{"dsock", "", file_spec::unix_socket}},
         serve + "Domain example.com\n",
         {"-d", "{root}/dsock"},
         "vellicor: {root}/dsock: fopen(): No such device or address\n",
         EX_OSERR},
        {"UserID without -u",
         {},
         serve + "UserID no-such-user-vellicor-file\n",
         {},
         "vellicor: no such user `no-such-user-vellicor-file'\n",
         EX_DATAERR},
        {"-u over UserID",
         {},
         serve + "UserID root\n",
         {"-u", "no-such-user-vellicor-opt"},
         "vellicor: no such user `no-such-user-vellicor-opt'\n",
         EX_DATAERR},
    });
}

TEST(ConfigStageBlackbox, ListFileFailures) {
    const std::string base = "BaseDirectory {root}/base\n";
    const std::string ebrack = regcomp_text("^a[b$");
    run_failures({
        {"allow list: fopen",
         {},
         serve + "DontSignMailTo {root}/none\n",
         {},
         "vellicor: {root}/none: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"allow list: regcomp",
         {{"base/allow", "*@example.com\na[b\n"}},
         serve + base + "DontSignMailTo allow\n",
         {},
         "vellicor: regcomp(): " + ebrack + "\n",
         EX_UNAVAILABLE},
        {"allow list: a directory",
         {{"base/adir", "", file_spec::directory}},
         serve + base + "DontSignMailTo adir\n",
         {},
         "vellicor: adir: not a regular file\n",
         EX_UNAVAILABLE},
        {"internal hosts: fopen",
         {},
         serve + "InternalHosts {root}/none\n",
         {},
         "vellicor: {root}/none: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"internal hosts: mask not a number",
         {{"base/ih", "10.0.0.0/8\n10.0.0.0/abc\n"}},
         serve + base + "InternalHosts ih\n",
         {},
         "vellicor: ih: invalid CIDR specification `10.0.0.0/abc'\n",
         EX_UNAVAILABLE},
        {"internal hosts: prefix length above 32",
         {{"base/ih", "10.0.0.0/40\n"}},
         serve + base + "InternalHosts ih\n",
         {},
         "vellicor: ih: invalid CIDR specification `10.0.0.0/40'\n",
         EX_UNAVAILABLE},
        {"internal hosts: prefix length before a comment",
         {{"base/ih", "192.0.2.0/24   # office LAN\n10.0.0.0/8x # x\n"}},
         serve + base + "InternalHosts ih\n",
         {},
         "vellicor: ih: invalid CIDR specification `10.0.0.0/8x'\n",
         EX_UNAVAILABLE},
        {"internal hosts: a network without its address",
         {{"base/ih", "/8\n"}},
         serve + base + "InternalHosts ih\n",
         {},
         "vellicor: ih: invalid CIDR specification `/8'\n",
         EX_UNAVAILABLE},
        {"internal hosts: a directory",
         {{"base/ihdir", "", file_spec::directory}},
         serve + base + "InternalHosts ihdir\n",
         {},
         "vellicor: ihdir: not a regular file\n",
         EX_UNAVAILABLE},
        // The file form needs an absolute path that exists; a socket file is
        // one that even root cannot open.
        {"domain file: fopen",
         {{"dsock", "", file_spec::unix_socket}},
         serve + "Domain {root}/dsock\n",
         {},
         "vellicor: {root}/dsock: fopen(): No such device or address\n",
         EX_OSERR},
        // Lists are built in a fixed order: the allow list fails first.
        {"allow list before internal hosts",
         {{"base/ih", "10.0.0.0/abc\n"}},
         serve + base + "InternalHosts ih\nDontSignMailTo none\n",
         {},
         "vellicor: none: fopen(): No such file or directory\n",
         EX_UNAVAILABLE},
        {"internal hosts before the domain file",
         {{"dsock", "", file_spec::unix_socket}, {"base/ih", "10.0.0.0/abc\n"}},
         serve + base + "Domain {root}/dsock\nInternalHosts ih\n",
         {},
         "vellicor: ih: invalid CIDR specification `10.0.0.0/abc'\n",
         EX_UNAVAILABLE},
    });
}

TEST(ConfigStageBlackbox, CoredumpNoticeComesBeforeTheUsageText) {
    blackbox::child_sweeper sweeper;
    const std::string usage = "vellicor: usage: vellicor -p socketfile -k key [options]\n";
    const std::string notice = "vellicor: can't enable coredumps; continuing\n";
    struct case_ {
        const char* name;
        std::string config;
        std::string before_usage;
    };
    const case_ cases[] = {
        {"EnableCoredumps yes, no Socket", "KeyFile {root}/base/key\nEnableCoredumps yes\n",
         notice},
        {"EnableCoredumps yes, no KeyFile", "Socket unix:{root}/s\nEnableCoredumps yes\n", notice},
        {"EnableCoredumps no, no Socket", "KeyFile {root}/base/key\nEnableCoredumps no\n", ""},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        layout l(c.config, {});
        const blackbox::outcome o = blackbox::run(l.command({}));
        EXPECT_EQ(o.exit.status, EX_USAGE);
        EXPECT_EQ(o.err.substr(0, c.before_usage.size() + usage.size()), c.before_usage + usage);
        EXPECT_EQ(o.err.find(notice, c.before_usage.size()), std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// Start-up goes on and the filter serves

struct serving_case {
    const char* name;
    std::vector<file_spec> files;
    std::string config;
    std::vector<std::string> args;
    std::string socket;               // the UNIX socket that must serve
    bool foreground;                  // the started process serves itself
    std::string pid_file;             // "" when none is written
    std::vector<std::string> absent;  // paths that must not appear
    std::string err;                  // what the starting process prints
};

// Waits until the milter at path answers, giving up early when the process
// that should serve it has ended.
bool serving(blackbox::process& p, const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + blackbox::default_timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (blackbox::wait_for_milter(path, std::chrono::milliseconds(500)))
            return true;
        if (!p.running())
            return false;
    }
    return false;
}

void run_serving_case(const serving_case& c) {
    layout l(c.config, c.files);
    blackbox::process p = blackbox::process::start(l.command(c.args));
    const std::string socket = expand(c.socket, l.root);
    const std::string pid_file = expand(c.pid_file, l.root);

    if (c.foreground) {
        ASSERT_TRUE(serving(p, socket)) << p.err();
        EXPECT_TRUE(p.running());
        if (!pid_file.empty()) {
            EXPECT_EQ(blackbox::wait_for_pid_file(pid_file), p.pid());
        }
    } else {
        // Fork-and-exit: the starting process ends with 0 once the
        // serving child is on its way.
        const std::optional<blackbox::exit_info> ended = p.wait();
        ASSERT_TRUE(ended);
        EXPECT_TRUE(ended->exited);
        EXPECT_EQ(ended->status, 0) << p.err();
        ASSERT_FALSE(pid_file.empty());
        const std::optional<pid_t> child = blackbox::wait_for_pid_file(pid_file);
        ASSERT_TRUE(child) << p.err();
        blackbox::pid_guard guard(*child);
        EXPECT_NE(*child, p.pid());
        EXPECT_TRUE(blackbox::wait_for_milter(socket)) << p.err();
    }
    for (const std::string& path : c.absent) {
        EXPECT_FALSE(blackbox::path_exists(expand(path, l.root))) << path;
    }
    EXPECT_EQ(p.err(), c.err);
}

void run_serving(const std::vector<serving_case>& cases) {
    blackbox::child_sweeper sweeper;
    for (const serving_case& c : cases) {
        SCOPED_TRACE(c.name);
        run_serving_case(c);
    }
}

TEST(ConfigStageBlackbox, OptionsAndKeysThatLetTheFilterServe) {
    const std::string key = "KeyFile {root}/base/key\n";
    const std::string fg = "Background no\n";
    run_serving({
        {"Socket from the file",
         {},
         "Socket unix:{root}/file.sock\n" + key + fg,
         {},
         "{root}/file.sock",
         true,
         "",
         {},
         ""},
        {"-p over Socket",
         {},
         "Socket unix:{root}/file.sock\n" + key + fg,
         {"-p", "unix:{root}/opt.sock"},
         "{root}/opt.sock",
         true,
         "",
         {"{root}/file.sock"},
         ""},
        {"-k over a missing KeyFile",
         {},
         "Socket unix:{root}/s.sock\nKeyFile {root}/none\n" + fg,
         {"-k", "{root}/base/key"},
         "{root}/s.sock",
         true,
         "",
         {},
         ""},
        {"Background false: foreground",
         {},
         serve + "PidFile {root}/pid\n" + fg,
         {},
         "{root}/milter.sock",
         true,
         "{root}/pid",
         {},
         ""},
        {"Background absent: fork-and-exit",
         {},
         serve + "PidFile {root}/pid\n",
         {},
         "{root}/milter.sock",
         false,
         "{root}/pid",
         {},
         ""},
        {"Background true with -f: foreground",
         {},
         serve + "PidFile {root}/pid\nBackground y\n",
         {"-f"},
         "{root}/milter.sock",
         true,
         "{root}/pid",
         {},
         ""},
        {"-P over PidFile",
         {},
         serve + "PidFile {root}/file.pid\n" + fg,
         {"-P", "{root}/opt.pid"},
         "{root}/milter.sock",
         true,
         "{root}/opt.pid",
         {"{root}/file.pid"},
         ""},
        {"KeyVersion -1 is no value",
         {},
         serve + "KeyVersion -1\n" + fg,
         {},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        {"-v over an invalid KeyVersion",
         {},
         serve + "KeyVersion 12\n" + fg,
         {"-v", "3"},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        {"-i over a bad InternalHosts",
         {{"bad-ih", "10.0.0.0/abc\n"}, {"ih", "10.0.0.0/8\n"}},
         serve + "InternalHosts {root}/bad-ih\n" + fg,
         {"-i", "{root}/ih"},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        {"-a over a bad DontSignMailTo",
         {{"bad-allow", "a[b\n"}, {"allow", "*@example.com\n"}},
         serve + "DontSignMailTo {root}/bad-allow\n" + fg,
         {"-a", "{root}/allow"},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        {"-t over an invalid SignatureTTL",
         {},
         serve + "SignatureTTL -5\n" + fg,
         {"-t", "3"},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        {"a mask of all ones",
         {{"ih", "10.0.0.1/255.255.255.255\n"}},
         serve + "InternalHosts {root}/ih\n" + fg,
         {},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        {"a configuration and lists saved with CRLF line ends",
         {{"base/key2", "other-secret\r\n"},
          {"peers", "mx.example.net\r\n!10.0.0.5\r\n"},
          {"inc.conf", "DontSignMailTo {root}/allow\r\n"},
          {"allow", "*@lists.example.com\r\n"},
          {"ih", "192.0.2.0/24\r\n10.0.0.0/8   # office\r\n"},
          {"domains", "example.com\r\n"}},
         "Socket unix:{root}/crlf.sock\r\nKeyFile {root}/base/key2\r\nPeerList {root}/peers\r\n"
         "Include {root}/inc.conf\r\nInternalHosts {root}/ih\r\nDomain {root}/domains\r\n"
         "PidFile {root}/pid\r\nBackground no\r\n",
         {},
         "{root}/crlf.sock",
         true,
         "{root}/pid",
         {},
         ""},
        {"-d over a bad Domain",
         {{"dsock", "", file_spec::unix_socket}},
         serve + "Domain {root}/dsock\n" + fg,
         {"-d", "example.com"},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        {"an invalid AutoRestartRate unread without AutoRestart",
         {},
         serve + "AutoRestartRate nonsense\nAutoRestartCount 1\n" + fg,
         {},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        {"RemoveARAll and RemoveARFrom accepted",
         {},
         serve + "RemoveARAll yes\nRemoveARFrom example.com\n" + fg,
         {},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        {"EnableCoredumps: the notice, and start-up goes on",
         {},
         serve + "EnableCoredumps yes\n" + fg,
         {},
         "{root}/milter.sock",
         true,
         "",
         {},
         "vellicor: can't enable coredumps; continuing\n"},
        {"SyslogFacility local3 in any case is accepted",
         {},
         serve + "SyslogFacility LoCaL3\n" + fg,
         {},
         "{root}/milter.sock",
         true,
         "",
         {},
         ""},
        // PeerList is read from the starting directory; the key, the list
        // files, the PID file and a relative socket path from BaseDirectory.
        {"PeerList from the start, the rest from BaseDirectory",
         {{"start/peers", "mx.example.net\n!10.0.0.5\n"},
          {"base/key2", "other-secret\n"},
          {"base/allow", "*@lists.example.com\n"},
          {"base/ih", "192.0.2.0/24\n"}},
         "BaseDirectory {root}/base\nPeerList peers\nKeyFile key2\nDontSignMailTo allow\n"
         "InternalHosts ih\nSocket unix:milter.sock\nPidFile pid\n" +
             fg,
         {},
         "{root}/base/milter.sock",
         true,
         "{root}/base/pid",
         {"{root}/start/milter.sock", "{root}/start/pid"},
         ""},
    });
}

}  // namespace
