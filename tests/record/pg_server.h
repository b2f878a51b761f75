// A private PostgreSQL server for one test: a cluster of its own in a fresh
// temporary folder, reached only through a Unix socket in that folder (no
// TCP), stopped and removed with the object. Run as root, the server runs as
// `nobody`, since PostgreSQL refuses to run as root.
#pragma once
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <libpq-fe.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pgtest {

// Waits for `pid` to end, at most `seconds`; kills it after that. Its exit
// status, or -1 when it had to be killed.
inline int WaitExit(pid_t pid, int seconds) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    bool ended = true;
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int n;
        do n = ::poll(&p, 1, seconds * 1000);
        while (n < 0 && errno == EINTR);
        ended = n > 0;
        ::close(fd);
    }
    if (!ended) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return ended ? status : -1;
}

class PgServer {
public:
    static constexpr const char *kUser = "quill";
    static constexpr const char *kDatabase = "quill";

    PgServer() {
        bin_ = ServerBinDir();
        if (bin_.empty()) {
            missing_ = "PostgreSQL's server programs (initdb, pg_ctl, postgres) are not installed: none in "
                       "/usr/lib/postgresql/*/bin (Debian package postgresql; or set QUILLROM_PG_BINDIR)";
            return;
        }
        if (::geteuid() == 0) {
            const passwd *pw = ::getpwnam("nobody");
            if (pw == nullptr) {
                error_ = "running as root, and there is no user nobody to run the server as";
                return;
            }
            uid_ = pw->pw_uid;
            gid_ = pw->pw_gid;
        }
        char dir[] = "/tmp/quillrom-pg-XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            error_ = std::string("cannot make a temporary folder: ") + std::strerror(errno);
            return;
        }
        dir_ = dir;
        if (uid_ != static_cast<uid_t>(-1) && ::chown(dir, uid_, gid_) != 0) {
            error_ = "cannot give " + dir_ + " to nobody: " + std::strerror(errno);
            return;
        }
        StartWatcher();
        if (!Run({bin_ + "/initdb", "-D", dir_ + "/data", "-U", kUser, "-A", "trust", "-E", "UTF8", "--locale=C",
                  "--no-sync", "--no-instructions"},
                 dir_ + "/initdb.log", 180, &error_))
            return;
        std::ofstream conf(dir_ + "/data/postgresql.conf", std::ios::app);
        conf << "\nlisten_addresses = ''\nunix_socket_directories = '" << dir_
             << "'\nunix_socket_permissions = 0700\nport = 5432\nfsync = off\n";
        conf.close();
        if (!conf) {
            error_ = "cannot write " + dir_ + "/data/postgresql.conf";
            return;
        }
        if (!Start(&error_)) return;
        std::string ignored;
        if (!Sql(std::string("CREATE DATABASE ") + kDatabase, &ignored, &error_, "postgres")) return;
    }

    ~PgServer() {
        bool stopped = !running_;
        if (running_) {
            std::string ignored;
            stopped = Stop("fast", &ignored) || Stop("immediate", &ignored);
        }
        if (stopped && !dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
        if (watcher_ > 0) {
            // "done" leaves the folder alone; without it the watcher stops the
            // server and removes the folder itself.
            if (stopped) (void)!::write(watcherPipe_, "done\n", 5);
            ::close(watcherPipe_);
            WaitExit(watcher_, 120);
        }
    }

    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // Why the server cannot run here (a reason to skip), or "".
    const std::string &missing() const { return missing_; }
    // Why setting it up failed, or "".
    const std::string &error() const { return error_; }
    const std::string &dir() const { return dir_; }

    std::string Url(const std::string &db = kDatabase) const {
        return "postgresql:///" + db + "?host=" + dir_ + "&port=5432&user=" + kUser;
    }

    // pg_ctl stop with `mode` ("fast", "immediate"), waiting for the server to end.
    bool Stop(const char *mode, std::string *error) {
        if (!Run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-m", mode, "-w", "-t", "60", "stop"}, dir_ + "/pg_ctl.log",
                 90, error))
            return false;
        running_ = false;
        return true;
    }

    // Starts the server, waiting until it takes connections.
    bool Start(std::string *error) {
        if (!Run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-t", "90", "start"},
                 dir_ + "/pg_ctl.log", 120, error))
            return false;
        running_ = true;
        return true;
    }

    // Runs `sql` as the superuser on its own connection; `value` is the
    // first column of the first row, if any.
    bool Sql(const std::string &sql, std::string *value, std::string *error, const std::string &db = kDatabase) const {
        PGconn *conn = PQconnectdb(Url(db).c_str());
        bool ok = PQstatus(conn) == CONNECTION_OK;
        if (!ok) {
            *error = PQerrorMessage(conn);
        } else {
            PGresult *res = PQexec(conn, sql.c_str());
            const ExecStatusType st = PQresultStatus(res);
            ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
            if (!ok) *error = sql + ": " + PQresultErrorMessage(res);
            value->clear();
            if (ok && st == PGRES_TUPLES_OK && PQntuples(res) > 0 && PQnfields(res) > 0)
                *value = PQgetvalue(res, 0, 0);
            PQclear(res);
        }
        PQfinish(conn);
        return ok;
    }

    // The value of one query, for expectations; "error: ..." when it fails.
    std::string Value(const std::string &sql) const {
        std::string value, error;
        return Sql(sql, &value, &error) ? value : "error: " + error;
    }

private:
    static std::string ServerBinDir() {
        const auto complete = [](const std::string &d) {
            for (const char *p : {"initdb", "pg_ctl", "postgres"})
                if (::access((d + "/" + p).c_str(), X_OK) != 0) return false;
            return true;
        };
        if (const char *env = std::getenv("QUILLROM_PG_BINDIR")) return complete(env) ? env : "";
        glob_t g{};
        std::string best;
        long bestVersion = -1;
        if (::glob("/usr/lib/postgresql/*/bin", 0, nullptr, &g) == 0) {
            for (size_t i = 0; i < g.gl_pathc; ++i) {
                const std::string d = g.gl_pathv[i];
                const long v = std::strtol(d.c_str() + std::strlen("/usr/lib/postgresql/"), nullptr, 10);
                if (v > bestVersion && complete(d)) {
                    best = d;
                    bestVersion = v;
                }
            }
        }
        ::globfree(&g);
        return best;
    }

    // In the child, before exec: the server's user, in the server's folder.
    void BecomeServerUser() const {
        if (uid_ != static_cast<uid_t>(-1)) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid_) != 0 || ::setuid(uid_) != 0) ::_exit(126);
        }
        if (::chdir(dir_.c_str()) != 0) ::_exit(126);
    }

    // Runs `argv` as the server's user with its output in `log`; false with
    // the reason and the log's end unless it exits 0 within `seconds`.
    bool Run(const std::vector<std::string> &argv, const std::string &log, int seconds, std::string *error) const {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out < 0) {
            *error = "cannot write " + log + ": " + std::strerror(errno);
            return false;
        }
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(126);
            BecomeServerUser();
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out);
        if (pid < 0) {
            *error = std::string("fork: ") + std::strerror(errno);
            return false;
        }
        const int status = WaitExit(pid, seconds);
        if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        std::string tail = text.str();
        if (tail.size() > 2000) tail = tail.substr(tail.size() - 2000);
        const std::string how =
            status < 0 ? " did not finish in time" : " failed (status " + std::to_string(status) + ")";
        *error = argv[0] + how + ":\n" + tail;
        if (argv[0].find("pg_ctl") != std::string::npos) {
            std::ifstream server(dir_ + "/server.log");
            std::stringstream s;
            s << server.rdbuf();
            *error += "\nserver.log:\n" + s.str();
        }
        return false;
    }

    // Cleans up after a test process that ends without the destructor (a
    // crash, a kill at the time-out): it waits for the process's end of a
    // pipe to close and, unless told "done", stops the server and removes
    // the folder. In a session of its own, so a kill of the test's process
    // group leaves it to do that.
    void StartWatcher() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        const std::string ctl = bin_ + "/pg_ctl";
        const char *script =
            "read -r word && exit 0\n"
            "[ -f \"$1/data/postmaster.pid\" ] && \"$2\" -D \"$1/data\" -m immediate -w -t 60 stop\n"
            "rm -rf \"$1\"\n";
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            if (::dup2(fds[0], 0) < 0 || null < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) ::_exit(126);
            ::setsid();
            BecomeServerUser();
            ::execl("/bin/sh", "sh", "-c", script, "sh", dir_.c_str(), ctl.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(fds[0]);
        if (pid < 0) {
            ::close(fds[1]);
            return;
        }
        watcher_ = pid;
        watcherPipe_ = fds[1];
    }

    std::string bin_, dir_, missing_, error_;
    uid_t uid_ = static_cast<uid_t>(-1);
    gid_t gid_ = static_cast<gid_t>(-1);
    bool running_ = false;
    pid_t watcher_ = -1;
    int watcherPipe_ = -1;
};

}  // namespace pgtest
